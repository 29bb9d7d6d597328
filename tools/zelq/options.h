// The command line of zelq: options, the command word and its parameters.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "foundation/qdstring.h"
#include "zelq/range.h"

enum class TZelqFormat { Decoded, Raw, Json };

// One agent of a fleet: a host and the port to use for it.
struct TZelqTarget {
    std::string host;
    int port = 0;
    bool operator==(const TZelqTarget&) const = default;
};

constexpr int kDefaultParallel = 32;
constexpr int kMaxParallel = 1024;

struct TZelqOptions {
    std::string host = "127.0.0.1";  // the agent of a single request
    int port = 1055;                   // -p, also the default port of a fleet
    // Every -H in order ("host" or "host:port"), resolved against -p into
    // targets once the whole command line is read.
    std::vector<std::string> hostArgs;
    std::vector<TZelqTarget> targets;
    std::string hostsFile;        // --hosts FILE ("-": standard input)
    int parallel = kDefaultParallel;  // --parallel N: exchanges at once in a fleet
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
    // Plugin mode (--plugin): one status line, exit 0-3.
    bool plugin = false;
    TThresholdRange warning;   // -w RANGE
    TThresholdRange critical;  // -c RANGE
    int valueIndex = 0;        // --value N: the value line (from 1); 0 = the command's default
    std::string stateFile;     // --state FILE: the text-log scan state
    std::string service;       // --service NAME: the first word of the status line

    bool help = false;
    bool version = false;

    std::string command;
    std::vector<std::string> params;
};

// ----- the option table: parsing, the combination checks and the help's
// option list all read it.

// The kinds of run a command line asks for; an option applies in some.
inline constexpr unsigned kModeSingle = 1;   // one request to one agent
inline constexpr unsigned kModeUpgrade = 2;  // --upgrade
inline constexpr unsigned kModePlugin = 4;   // --plugin
inline constexpr unsigned kModeFleet = 8;    // several agents (-H more than once, or --hosts)
inline constexpr unsigned kAllModes = 15;

// What an option's value must be.
enum class TOptionValue {
    None,      // a switch: no value
    Text,      // one line, not empty
    FileName,  // not empty
    Secret,    // anything, empty too (judged when it is used)
    Port,      // a port number from 1 to 65535
    Seconds,   // seconds above 0 and at most a day, with an optional fraction
    Number,    // a whole number from min to max
    Range,     // a threshold range
};

// A value once checked, and where it lies in the argument list.
struct TOptionArg {
    std::string text;
    int number = 0;         // Port (the port), Seconds (milliseconds), Number
    TThresholdRange range;  // Range
    size_t argIndex = 0;    // the argument that holds the value
    size_t offset = 0;      // where the value starts inside that argument
};

// The error an option raises when the run is of one of `modes`.
struct TOptionRefusal {
    unsigned modes = 0;
    const char* text = nullptr;
};

struct TOptionRow {
    char shortName = 0;          // 'p' for -p; 0: none
    const char* longName = "";   // "raw" for --raw; "": none
    const char* valueName = "";  // the value's name in the help; "" for a switch
    TOptionValue kind = TOptionValue::None;
    int min = 0, max = 0;        // the bounds of a Number
    // What a missing or bad value lacks: "<option> needs <needs>" (a long
    // option's empty or missing Number says "a value").
    const char* needs = "a value";
    const char* forbidden = "";  // characters the value must not hold
    void (*set)(TZelqOptions&, const TOptionArg&) = nullptr;  // the field it sets
    unsigned modes = kAllModes;  // the runs it applies to
    unsigned defines = 0;        // the run it asks for (--plugin, --upgrade, --hosts)
    TOptionRefusal refusals[2] = {};  // the errors outside `modes`
    const char* excludes = "";   // the long name of an option it cannot go with
    const char* help = "";       // its lines in the help, separated by '\n'
    bool ends = false;           // --help, --version: the rest is not read
};

// Every option of zelq, in the order of the help.
std::span<const TOptionRow> ZelqOptionTable();

// "--raw", "-p": the row's name as the help shows it (the long name when
// it has one).
std::string OptionName(const TOptionRow& row);

// Two runs that exclude each other, and the error they raise together.
struct TModeConflict {
    unsigned modes;
    const char* text;
};
std::span<const TModeConflict> ZelqModeConflicts();

// Parses the arguments that follow the program name. Options come before
// the command word; everything after the command word is a parameter.
// "--" ends the options. Returns false with a one-line reason in err.
bool ParseZelqArgs(const std::vector<std::string>& args, TZelqOptions& opts, std::string& err);

// A fleet: -H given more than once, or --hosts.
bool IsFleet(const TZelqOptions& opts);

// "host" or "host:port" ("[v6-address]:port" too) with defaultPort for a
// host written without one. False with a reason for an empty host or a
// port outside 1-65535.
bool ParseTarget(const std::string& text, int defaultPort, TZelqTarget& target, std::string& err);

// A host list: one host[:port] per line; blank lines and text from "#" to
// the line's end are ignored. The reason of a failure names the line.
bool ParseHostList(const std::string& text, int defaultPort, std::vector<TZelqTarget>& targets, std::string& err);

// The password by order of preference: -P, then the first line of the -f
// file (without its line end), then envValue (ZEL_PASSWORD; null when not
// set). Returns false with a reason when none is given or the file cannot
// be read. The reason never contains the password.
bool ResolvePassword(const TZelqOptions& opts, const char* envValue, String& password, std::string& err);
