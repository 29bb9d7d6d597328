// The texts of zelq --help, --version and of a usage error.
#pragma once

#include <string>

// One-paragraph synopsis printed after a command-line error.
std::string ZelqUsageText();
// The whole help: options, output, exit statuses and examples.
std::string ZelqHelpText();
// "zelq VERSION".
std::string ZelqVersionText();
