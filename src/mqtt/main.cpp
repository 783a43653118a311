// kestruned: the service that holds the attached relay boards.
#include "mqtt/mqtt_daemon.h"

int main(int argc, char* argv[])
{
    return runBoardService(argc, argv);
}
