// zelq help: the agent's commands from the command reference
// (protocol/command_reference.h). Pure; thread-safe.
#pragma once

#include <string>

// Every command word with its one-line summary, grouped as tests, actions,
// listings and management.
std::string CommandListText();

// One command's gate, parameters, reply values, results and example; false
// when the reference has no such word (compared exactly).
bool CommandHelpText(const std::string& word, std::string& text);

// The hint zelq prints on standard error when the agent answered "501" to
// a request with fewer parameters than `word` needs; empty when there is
// nothing to say (enough parameters, or a word the reference does not know).
std::string MissingParamsHint(const std::string& word, size_t given);
