// The network layer: sockets, name resolution and client sockets.
#pragma once

#include "net/resolve.h"
#include "net/sockets.h"
#include "net/syncsocket.h"
