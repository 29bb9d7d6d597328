#include "zelq/options.h"

#include <cerrno>
#include <fstream>

#include "foundation/io.h"

namespace {

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool ParsePort(const std::string& text, int& port) {
    if (!AllDigits(text) || text.size() > 5) return false;
    int v = std::stoi(text);
    if (v < 1 || v > 65535) return false;
    port = v;
    return true;
}

// Seconds, whole or with a fraction ("10", "0.5"), above 0 and at most a day.
bool ParseTimeout(const std::string& text, int& timeoutMs) {
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    if (whole.empty() && frac.empty()) return false;
    if (!whole.empty() && !AllDigits(whole)) return false;
    if (dot != std::string::npos && !AllDigits(frac)) return false;
    if (whole.size() > 5) return false;
    long ms = whole.empty() ? 0 : std::stol(whole) * 1000;
    long scale = 100;
    for (size_t i = 0; i < frac.size() && scale > 0; ++i, scale /= 10) ms += (frac[i] - '0') * scale;
    if (ms < 1 || ms > 86400L * 1000) return false;
    timeoutMs = static_cast<int>(ms);
    return true;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

const char kFormatInPlugin[] = "--plugin prints a status line; --raw and --json do not apply";
const char kRangesNeedPlugin[] = "-w and -c need --plugin";

static_assert(kDefaultParallel == 32 && kMaxParallel == 1024, "the texts of --parallel name these numbers");

const TOptionRow kOptions[] = {
    {.shortName = 'H', .valueName = "HOST[:PORT]", .kind = TOptionValue::Text, .needs = "a host name or address",
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.hostArgs.push_back(a.text); },
     .help = "the agent's host name or address (default 127.0.0.1), with\n"
             "its port if it differs from -p; an IPv6 address as ::1, or\n"
             "[::1]:PORT with a port; a name's first IPv4 and first IPv6\n"
             "address are tried in the resolver's order; give -H several times to ask\n"
             "several agents (see \"Several agents\")"},
    {.shortName = 'p', .valueName = "PORT", .kind = TOptionValue::Port, .needs = "a port number from 1 to 65535",
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.port = a.number; },
     .help = "the agent's port (default 1055)"},
    {.shortName = 't', .valueName = "SECONDS", .kind = TOptionValue::Seconds,
     .needs = "a time-out in seconds above 0 and at most 86400",
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.timeoutMs = a.number; },
     .help = "time-out for the name look-up and connect, and for the reply\n"
             "(default 10); a plugin text-log run ends within it; for several\n"
             "agents, for each of them"},
    {.shortName = 'P', .valueName = "PASSWORD", .kind = TOptionValue::Secret,
     .set =
         [](TZelqOptions& o, const TOptionArg& a) {
             o.hasPassword = true;
             o.password = a.text;
             o.passwordArgIndex = static_cast<int>(a.argIndex);
             o.passwordArgOffset = a.offset;
         },
     .help = "the agent's password (visible to other users in the process\n"
             "list while zelq starts; prefer -f or ZEL_PASSWORD)"},
    {.shortName = 'f', .valueName = "FILE", .kind = TOptionValue::FileName, .needs = "a file name",
     .set =
         [](TZelqOptions& o, const TOptionArg& a) {
             o.hasPasswordFile = true;
             o.passwordFile = a.text;
         },
     .help = "read the password from the first line of FILE\n"
             "Without -P and -f the password is taken from the environment\n"
             "variable ZEL_PASSWORD. It is never printed."},
    {.longName = "literal", .set = [](TZelqOptions& o, const TOptionArg&) { o.literal = true; },
     .help = "send parameters starting with @ as they are written"},
    {.longName = "upgrade", .valueName = "FILE", .kind = TOptionValue::Text,
     .needs = "the new executable's file name",
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.upgradeFile = a.text; }, .modes = kModeUpgrade,
     .defines = kModeUpgrade,
     .help = "replace the agent's executable by FILE (101 bytes to just\n"
             "under 10 MiB): announces its size, sends it with its digest\n"
             "and prints both replies; the agent then restarts itself.\n"
             "The agent needs allowupdates=1 and this host in updateaddr."},
    {.longName = "raw", .set = [](TZelqOptions& o, const TOptionArg&) { o.format = TZelqFormat::Raw; },
     .modes = kModeSingle | kModeUpgrade,
     .refusals = {{kModePlugin, kFormatInPlugin}, {kModeFleet, "--raw does not apply to several hosts (use --json)"}},
     .excludes = "json", .help = "print the reply text exactly as received"},
    {.longName = "json", .set = [](TZelqOptions& o, const TOptionArg&) { o.format = TZelqFormat::Json; },
     .modes = kModeSingle | kModeUpgrade | kModeFleet, .refusals = {{kModePlugin, kFormatInPlugin}},
     .excludes = "raw", .help = "print {\"code\": \"...\", \"lines\": [...]} with the decoded lines"},
    {.longName = "plugin", .set = [](TZelqOptions& o, const TOptionArg&) { o.plugin = true; },
     .modes = kModePlugin, .defines = kModePlugin,
     .help = "act as a plugin of a monitoring system (see \"Plugin mode\")"},
    {.shortName = 'w', .valueName = "RANGE", .kind = TOptionValue::Range,
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.warning = a.range; }, .modes = kModePlugin,
     .refusals = {{kAllModes & ~kModePlugin, kRangesNeedPlugin}}, .help = "plugin mode: the warning range of the value"},
    {.shortName = 'c', .valueName = "RANGE", .kind = TOptionValue::Range,
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.critical = a.range; }, .modes = kModePlugin,
     .refusals = {{kAllModes & ~kModePlugin, kRangesNeedPlugin}},
     .help = "plugin mode: the critical range of the value"},
    {.longName = "value", .valueName = "N", .kind = TOptionValue::Number, .min = 1, .max = 9999,
     .needs = "a value line number from 1", .set = [](TZelqOptions& o, const TOptionArg& a) { o.valueIndex = a.number; },
     .modes = kModePlugin | kModeFleet,
     .refusals = {{kModeSingle | kModeUpgrade, "--value needs --plugin or several hosts"}},
     .help = "plugin mode: judge value line N of the reply (from 1) instead\n"
             "of the command's default; several agents: print only value\n"
             "line N of each reply"},
    {.longName = "state", .valueName = "FILE", .kind = TOptionValue::Text,
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.stateFile = a.text; }, .modes = kModePlugin,
     .refusals = {{kAllModes & ~kModePlugin, "--state needs --plugin"}},
     .help = "plugin mode, text-log tests: the file that keeps the scan\n"
             "state between runs (default: $XDG_CACHE_HOME/zelq, else\n"
             "~/.cache/zelq, a file named after the check)"},
    {.longName = "service", .valueName = "NAME", .kind = TOptionValue::Text, .forbidden = "|",
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.service = a.text; }, .modes = kModePlugin,
     .refusals = {{kAllModes & ~kModePlugin, "--service needs --plugin"}},
     .help = "plugin mode: the first word of the status line (default: the\n"
             "command without \"TEST-\", in capitals)"},
    {.longName = "hosts", .valueName = "FILE", .kind = TOptionValue::Text,
     .needs = "a file name (or \"-\" for standard input)",
     .set = [](TZelqOptions& o, const TOptionArg& a) { o.hostsFile = a.text; }, .modes = kModeFleet,
     .defines = kModeFleet, .help = "ask every agent listed in FILE (\"-\": standard input)"},
    // Accepted everywhere (as it always was); only a fleet uses it.
    {.longName = "parallel", .valueName = "N", .kind = TOptionValue::Number, .min = 1, .max = kMaxParallel,
     .needs = "a number from 1 to 1024", .set = [](TZelqOptions& o, const TOptionArg& a) { o.parallel = a.number; },
     .help = "several agents: at most N exchanges at a time (default 32,\n"
             "at most 1024)"},
    {.shortName = 'h', .longName = "help", .set = [](TZelqOptions& o, const TOptionArg&) { o.help = true; },
     .help = "show this help", .ends = true},
    {.longName = "version", .set = [](TZelqOptions& o, const TOptionArg&) { o.version = true; },
     .help = "show the version", .ends = true},
};

const TModeConflict kModeConflicts[] = {
    {kModePlugin | kModeFleet, "--plugin checks one agent (give -H once, without --hosts)"},
    {kModePlugin | kModeUpgrade, "--plugin and --upgrade cannot be used together"},
    {kModeFleet | kModeUpgrade, "--upgrade replaces one agent at a time"},
};

const TOptionRow* FindOption(bool isLong, const std::string& name) {
    for (const TOptionRow& row : kOptions) {
        if (isLong ? row.longName[0] != '\0' && name == row.longName
                   : row.shortName != 0 && name.size() == 1 && name[0] == row.shortName)
            return &row;
    }
    return nullptr;
}

bool AllDigitsUpTo(const std::string& s, size_t digits) { return AllDigits(s) && s.size() <= digits; }

// The error of an empty value (and of a long option's missing one): what
// the value lacks, or for a number just "a value".
std::string EmptyValue(const TOptionRow& row, const std::string& name) {
    return name + " needs " + (row.kind == TOptionValue::Number ? "a value" : row.needs);
}

// Checks a value against its row; `name` is the option as written ("-p",
// "--parallel").
bool CheckValue(const TOptionRow& row, bool isLong, const std::string& name, TOptionArg& arg, std::string& err) {
    const std::string& v = arg.text;
    // A long option's value, and a text, is one line and not empty.
    if (((isLong || row.kind == TOptionValue::Text) && (v.empty() || HasLineBreak(v))) ||
        (row.kind == TOptionValue::FileName && v.empty())) {
        err = EmptyValue(row, name);
        return false;
    }
    if (row.forbidden[0] != '\0' && v.find_first_of(row.forbidden) != std::string::npos) {
        err = name + " must not contain \"" + row.forbidden + "\"";
        return false;
    }
    bool good = true;
    switch (row.kind) {
    case TOptionValue::Port: good = ParsePort(v, arg.number); break;
    case TOptionValue::Seconds: good = ParseTimeout(v, arg.number); break;
    case TOptionValue::Number:
        good = AllDigitsUpTo(v, 9) && std::stoi(v) >= row.min && std::stoi(v) <= row.max;
        if (good) arg.number = std::stoi(v);
        break;
    case TOptionValue::Range: {
        std::string why;
        if (!ParseThresholdRange(v, arg.range, why)) {
            err = name + ": " + why;
            return false;
        }
        break;
    }
    default: break;
    }
    if (!good) err = name + " needs " + row.needs + ", not \"" + v + "\"";
    return good;
}

// The single agent, or the -H entries of a fleet.
bool Targets(TZelqOptions& opts, std::string& err) {
    opts.targets.clear();
    for (const std::string& h : opts.hostArgs) {
        TZelqTarget t;
        std::string why;
        if (!ParseTarget(h, opts.port, t, why)) {
            err = "-H " + why;
            return false;
        }
        opts.targets.push_back(t);
    }
    if (!opts.targets.empty()) {
        opts.host = opts.targets.front().host;
        opts.port = opts.targets.front().port;
    }
    return true;
}

// The run the given options ask for, and every option in it.
bool CheckCombinations(const TZelqOptions& opts, const std::vector<bool>& given, std::string& err) {
    unsigned asked = IsFleet(opts) ? kModeFleet : 0;
    for (size_t r = 0; r < std::size(kOptions); ++r)
        if (given[r]) asked |= kOptions[r].defines;
    for (const TModeConflict& c : kModeConflicts) {
        if ((asked & c.modes) == c.modes) {
            err = c.text;
            return false;
        }
    }
    const unsigned mode = asked != 0 ? asked : kModeSingle;
    for (size_t r = 0; r < std::size(kOptions); ++r) {
        if (!given[r] || (kOptions[r].modes & mode) != 0) continue;
        for (const TOptionRefusal& refusal : kOptions[r].refusals)
            if ((refusal.modes & mode) != 0) err = refusal.text;
        if (err.empty()) err = OptionName(kOptions[r]) + " does not apply here";
        return false;
    }
    return true;
}

}  // namespace

std::span<const TOptionRow> ZelqOptionTable() { return kOptions; }

std::span<const TModeConflict> ZelqModeConflicts() { return kModeConflicts; }

std::string OptionName(const TOptionRow& row) {
    return row.longName[0] != '\0' ? std::string("--") + row.longName : std::string("-") + row.shortName;
}

bool ParseZelqArgs(const std::vector<std::string>& args, TZelqOptions& opts, std::string& err) {
    err.clear();
    std::vector<bool> given(std::size(kOptions), false);
    size_t i = 0;
    bool commandFound = false;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            if (i < args.size()) commandFound = true;
            break;
        }
        if (a.size() < 2 || a[0] != '-') {
            commandFound = true;
            break;
        }
        // "--name", "--name=VALUE"; "-x", "-xVALUE".
        const bool isLong = a[1] == '-';
        const size_t eq = isLong ? a.find('=') : std::string::npos;
        const std::string name = isLong ? a.substr(2, eq == std::string::npos ? eq : eq - 2) : a.substr(1, 1);
        const TOptionRow* row = FindOption(isLong, name);
        const bool attached = isLong ? eq != std::string::npos : a.size() > 2;
        if (row == nullptr || (row->kind == TOptionValue::None && attached)) {
            err = "unknown option " + a;
            return false;
        }
        const std::string written = (isLong ? "--" : "-") + name;
        TOptionArg arg;
        if (row->kind != TOptionValue::None) {
            if (attached) {
                arg.argIndex = i;
                arg.offset = isLong ? eq + 1 : 2;
            } else if (i + 1 < args.size()) {
                arg.argIndex = ++i;
            } else {
                err = isLong ? EmptyValue(*row, written) : "option " + written + " needs a value";
                return false;
            }
            arg.text = args[arg.argIndex].substr(arg.offset);
            if (!CheckValue(*row, isLong, written, arg, err)) return false;
        }
        const size_t r = static_cast<size_t>(row - kOptions);
        if (row->excludes[0] != '\0') {
            // Named in the order of the table: "--raw and --json".
            const TOptionRow* other = FindOption(true, row->excludes);
            if (given[static_cast<size_t>(other - kOptions)]) {
                const TOptionRow* first = other < row ? other : row;
                err = OptionName(*first) + " and " + OptionName(*(first == row ? other : row)) +
                      " cannot be used together";
                return false;
            }
        }
        row->set(opts, arg);
        given[r] = true;
        if (row->ends) return true;
    }
    if (!Targets(opts, err) || !CheckCombinations(opts, given, err)) return false;
    if (!opts.upgradeFile.empty()) {
        if (commandFound) {
            err = "--upgrade takes no command word";
            return false;
        }
        opts.command = "UpgradeCode";
        return true;
    }
    if (!commandFound) {
        err = "no command given";
        return false;
    }
    opts.command = args[i];
    if (opts.command.empty() || HasLineBreak(opts.command)) {
        err = "the command must be one word on one line";
        return false;
    }
    opts.params.assign(args.begin() + static_cast<long>(i) + 1, args.end());
    return true;
}

bool IsFleet(const TZelqOptions& opts) { return opts.hostArgs.size() > 1 || !opts.hostsFile.empty(); }

bool ParseTarget(const std::string& text, int defaultPort, TZelqTarget& target, std::string& err) {
    std::string host = text;
    std::string portText;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos || (close + 1 < host.size() && host[close + 1] != ':')) {
            err = "\"" + text + "\" is no host[:port]";
            return false;
        }
        if (close + 1 < host.size()) portText = host.substr(close + 2);
        if (close + 1 < host.size() && portText.empty()) {
            err = "\"" + text + "\" has no port after the \":\"";
            return false;
        }
        host = host.substr(1, close - 1);
    } else if (const size_t colon = host.find(':'); colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
        portText = host.substr(colon + 1);
        host.erase(colon);
        if (portText.empty()) {
            err = "\"" + text + "\" has no port after the \":\"";
            return false;
        }
    }
    if (host.empty() || HasLineBreak(host)) {
        err = "\"" + text + "\" names no host";
        return false;
    }
    int port = defaultPort;
    if (!portText.empty() && !ParsePort(portText, port)) {
        err = "\"" + text + "\": the port must be a number from 1 to 65535";
        return false;
    }
    target.host = host;
    target.port = port;
    return true;
}

bool ParseHostList(const std::string& text, int defaultPort, std::vector<TZelqTarget>& targets, std::string& err) {
    size_t start = 0;
    int lineNo = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        size_t b = 0, e = line.size();
        while (b < e && IsBlank(line[b])) ++b;
        while (e > b && IsBlank(line[e - 1])) --e;
        line = line.substr(b, e - b);
        if (line.empty()) continue;
        if (line.find_first_of(" \t") != std::string::npos) {
            err = "line " + std::to_string(lineNo) + ": one host[:port] per line, not \"" + line + "\"";
            return false;
        }
        TZelqTarget t;
        std::string why;
        if (!ParseTarget(line, defaultPort, t, why)) {
            err = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        }
        targets.push_back(t);
    }
    return true;
}

bool ResolvePassword(const TZelqOptions& opts, const char* envValue, String& password, std::string& err) {
    err.clear();
    if (opts.hasPassword) {
        if (opts.password.empty()) {
            err = "the password given with -P is empty";
            return false;
        }
        password = String(opts.password);
        return true;
    }
    if (opts.hasPasswordFile) {
        std::ifstream in(opts.passwordFile, std::ios::binary);
        if (!in) {
            err = "cannot read the password file " + opts.passwordFile + ": " + ErrnoText(errno).Std();
            return false;
        }
        std::string line;
        std::getline(in, line);
        if (in.bad()) {
            err = "cannot read the password file " + opts.passwordFile;
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            err = "the first line of the password file " + opts.passwordFile + " is empty";
            return false;
        }
        password = String(line);
        return true;
    }
    if (envValue != nullptr && *envValue != '\0') {
        password = String(envValue);
        return true;
    }
    err = "no password: give -P PASSWORD, -f FILE or set ZEL_PASSWORD";
    return false;
}
