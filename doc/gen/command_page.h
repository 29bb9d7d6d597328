// The scdoc source of zel-commands(7), written from the command reference
// (protocol/command_reference.h): every command word grouped as tests,
// actions, listings and management, with its parameters, reply values,
// result codes and texts and a zelq example. Pure; thread-safe.
#pragma once

#include <string>

std::string CommandPageScdoc();

// Text with scdoc's markup characters (* _ \) escaped.
std::string ScdocEscaped(const std::string& text);
