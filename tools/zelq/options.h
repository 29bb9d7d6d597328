// The command line of zelq: options, the command word and its parameters.
#pragma once

#include <string>
#include <vector>

#include "foundation/qdstring.h"

enum class TZelqFormat { Decoded, Raw, Json };

struct TZelqOptions {
    std::string host = "127.0.0.1";
    int port = 1055;
    int timeoutMs = 10000;

    bool hasPassword = false;  // -P given
    std::string password;
    bool hasPasswordFile = false;  // -f given
    std::string passwordFile;
    // Where the -P value lies in the argument list (index, and offset of
    // the password inside that argument), so that main can blank it out of
    // the process listing. -1 when there is none.
    int passwordArgIndex = -1;
    size_t passwordArgOffset = 0;

    TZelqFormat format = TZelqFormat::Decoded;
    bool literal = false;  // --literal: "@..." parameters are sent as written
    std::string upgradeFile;  // --upgrade FILE: send FILE as the agent's new executable
    bool help = false;
    bool version = false;

    std::string command;
    std::vector<std::string> params;
};

// Parses the arguments that follow the program name. Options come before
// the command word; everything after the command word is a parameter.
// "--" ends the options. Returns false with a one-line reason in err.
bool ParseZelqArgs(const std::vector<std::string>& args, TZelqOptions& opts, std::string& err);

// The password by order of preference: -P, then the first line of the -f
// file (without its line end), then envValue (ZEL_PASSWORD; null when not
// set). Returns false with a reason when none is given or the file cannot
// be read. The reason never contains the password.
bool ResolvePassword(const TZelqOptions& opts, const char* envValue, String& password, std::string& err);
