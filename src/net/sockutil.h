// Small socket helpers shared by the network layer.
#pragma once

#include "foundation/fd.h"
#include "foundation/qdstring.h"

// Creates a close-on-exec socket into sock. The descriptor never lands on 0,
// 1 or 2 (when the standard streams are closed) so that it cannot be
// mistaken for one of them. false with the system's text in err (and the
// cause in errno) and sock empty.
bool NewSocket(int domain, int type, int protocol, TFd& sock, String& err);
