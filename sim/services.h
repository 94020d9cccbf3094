// Stand-ins for the router's remote-management client and VPN-portal
// service: real processes with real TCP sockets, so that netstat's own
// output is what the daemon reads.
#pragma once

#include <sys/types.h>

#include <string>

inline constexpr const char* remote_client_name = "tessik_clientd";
inline constexpr const char* portal_name = "drennic";

// Starts this program (`self_fd`) as the service `name` in `state`
// ("connected": an established loopback connection; "listening": a listening
// socket only), as `user` unless that is negative, and returns once its
// sockets exist. The service's pid, or -1.
pid_t start_service(int self_fd, const char* name, const std::string& state, long user = -1);

// When this program was started as a service: its main. -1 when `name` is
// not one of the services.
int service_main(const std::string& name, int argc, char** argv);
