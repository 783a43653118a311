// kestrune-mqtt: the attached relay boards on an MQTT broker.
#include "mqtt/mqtt_daemon.h"

int main(int argc, char* argv[])
{
    return runMqttDaemon(argc, argv);
}
