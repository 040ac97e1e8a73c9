/* What the mdnsd library takes from <arpa/inet.h> and friends, from Winsock. */
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>

/* Only its socket loop (mdnsd_step) sends and receives, and Kestrel does
   not call it; a non-blocking flag Winsock lacks keeps it compiling. */
#ifndef MSG_DONTWAIT
#define MSG_DONTWAIT 0
#endif
