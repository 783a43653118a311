#pragma once

// What the benchmarks on emulated boards share: a run under umockdev's
// preload library, and a free loopback port for a broker of their own.
#include "emulated_ftdi.h"

#include <QByteArray>
#include <QtGlobal>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bench {

// Runs this program again under umockdev-wrapper unless the preload library
// is active already; exits with a message naming the benchmark when it cannot.
inline void runEmulated(int argc, char* argv[], const char* name)
{
    if (emulated_ftdi_available())
        return;
    if (qEnvironmentVariableIsSet("KESTRUNE_BENCH_WRAPPED")) {
        std::fprintf(stderr, "%s: umockdev's preload library is not active\n", name);
        std::exit(1);
    }
    qputenv("KESTRUNE_BENCH_WRAPPED", "1");
    std::vector<char*> args{const_cast<char*>("umockdev-wrapper")};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    ::execvp("umockdev-wrapper", args.data());
    std::fprintf(stderr, "%s: cannot run umockdev-wrapper\n", name);
    std::exit(1);
}

// A TCP port on 127.0.0.1 that nothing listens on now.
inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace bench
