// The wire protocol in one include: packet layout, requests, replies and
// value encodings.
#pragma once

#include "protocol/codecs.h"
#include "protocol/packet.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "protocol/trace.h"
