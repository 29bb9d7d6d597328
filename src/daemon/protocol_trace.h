// Routes the packet traces of the protocol layer to the debug messages.
// Main thread, once at start-up before any session starts.
#pragma once

void InstallProtocolTrace();
