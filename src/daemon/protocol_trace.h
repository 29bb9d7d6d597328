// Routes the packet traces of the protocol layer to the debug messages.
#pragma once

void InstallProtocolTrace();
