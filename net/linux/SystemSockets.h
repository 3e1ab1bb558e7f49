#pragma once
// The socket calls and records of the system, for the files net/ shares between systems.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
