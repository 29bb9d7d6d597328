#include "zelq/options.h"

#include <cerrno>
#include <cstring>
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

std::string MissingValue(const std::string& name) {
    if (name == "--upgrade") return "--upgrade needs the new executable's file name";
    if (name == "--hosts") return "--hosts needs a file name (or \"-\" for standard input)";
    return name + " needs a value";
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool LongOption(const std::string& name, const std::string& value, TZelqOptions& opts, std::string& err) {
    if (value.empty() || HasLineBreak(value)) {
        err = MissingValue(name);
        return false;
    }
    if (name == "--upgrade") {
        opts.upgradeFile = value;
    } else if (name == "--hosts") {
        opts.hostsFile = value;
    } else if (name == "--parallel") {
        if (!AllDigits(value) || value.size() > 5 || std::stoi(value) < 1 || std::stoi(value) > kMaxParallel) {
            err = "--parallel needs a number from 1 to " + std::to_string(kMaxParallel) + ", not \"" + value + "\"";
            return false;
        }
        opts.parallel = std::stoi(value);
    } else if (name == "--value") {
        if (!AllDigits(value) || value.size() > 4 || std::stoi(value) < 1) {
            err = "--value needs a value line number from 1, not \"" + value + "\"";
            return false;
        }
        opts.valueIndex = std::stoi(value);
    } else if (name == "--state") {
        opts.stateFile = value;
    } else if (name == "--service") {
        if (value.find('|') != std::string::npos) {
            err = "--service must not contain \"|\"";
            return false;
        }
        opts.service = value;
    }
    return true;
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

bool CheckCombinations(const TZelqOptions& opts, std::string& err) {
    const bool fleet = IsFleet(opts);
    if (opts.plugin) {
        if (fleet) err = "--plugin checks one agent (give -H once, without --hosts)";
        else if (opts.format != TZelqFormat::Decoded) err = "--plugin prints a status line; --raw and --json do not apply";
        else if (!opts.upgradeFile.empty()) err = "--plugin and --upgrade cannot be used together";
        return err.empty();
    }
    if (opts.warning.given || opts.critical.given) err = "-w and -c need --plugin";
    else if (!opts.stateFile.empty()) err = "--state needs --plugin";
    else if (!opts.service.empty()) err = "--service needs --plugin";
    else if (opts.valueIndex > 0 && !fleet) err = "--value needs --plugin or several hosts";
    else if (fleet && opts.format == TZelqFormat::Raw) err = "--raw does not apply to several hosts (use --json)";
    else if (fleet && !opts.upgradeFile.empty()) err = "--upgrade replaces one agent at a time";
    return err.empty();
}

}  // namespace

bool ParseZelqArgs(const std::vector<std::string>& args, TZelqOptions& opts, std::string& err) {
    err.clear();
    size_t i = 0;
    bool commandFound = false;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            if (i < args.size()) commandFound = true;
            break;
        }
        if (a == "--help" || a == "-h") {
            opts.help = true;
            return true;
        }
        if (a == "--version") {
            opts.version = true;
            return true;
        }
        if (a == "--raw" || a == "--json") {
            TZelqFormat f = a == "--raw" ? TZelqFormat::Raw : TZelqFormat::Json;
            if (opts.format != TZelqFormat::Decoded && opts.format != f) {
                err = "--raw and --json cannot be used together";
                return false;
            }
            opts.format = f;
            continue;
        }
        if (a == "--literal") {
            opts.literal = true;
            continue;
        }
        if (a == "--plugin") {
            opts.plugin = true;
            continue;
        }
        // Long options with a value: "--name VALUE" or "--name=VALUE".
        static const char* const kLongValued[] = {"--upgrade", "--hosts", "--parallel", "--value", "--state",
                                                  "--service"};
        const char* longName = nullptr;
        for (const char* n : kLongValued) {
            const size_t len = std::strlen(n);
            if (a == n || (a.size() > len && a.compare(0, len, n) == 0 && a[len] == '=')) longName = n;
        }
        if (longName != nullptr) {
            const std::string name = longName;
            std::string value;
            if (a == name) {
                if (i + 1 >= args.size()) {
                    err = MissingValue(name);
                    return false;
                }
                value = args[++i];
            } else {
                value = a.substr(name.size() + 1);
            }
            if (!LongOption(name, value, opts, err)) return false;
            continue;
        }
        if (a.size() < 2 || a[0] != '-') {
            commandFound = true;
            break;
        }
        if (a[1] == '-' || std::strchr("HptPfwc", a[1]) == nullptr) {
            err = "unknown option " + a;
            return false;
        }
        // A value option: "-p 1055" or "-p1055".
        const char letter = a[1];
        size_t valueIndex = i;
        size_t offset = 2;
        if (a.size() == 2) {
            if (i + 1 >= args.size()) {
                err = std::string("option -") + letter + " needs a value";
                return false;
            }
            valueIndex = ++i;
            offset = 0;
        }
        const std::string value = args[valueIndex].substr(offset);
        switch (letter) {
            case 'H':
                if (value.empty() || HasLineBreak(value)) {
                    err = "-H needs a host name or address";
                    return false;
                }
                opts.hostArgs.push_back(value);
                break;
            case 'w':
            case 'c': {
                TThresholdRange& r = letter == 'w' ? opts.warning : opts.critical;
                std::string why;
                if (!ParseThresholdRange(value, r, why)) {
                    err = std::string("-") + letter + ": " + why;
                    return false;
                }
                break;
            }
            case 'p':
                if (!ParsePort(value, opts.port)) {
                    err = "-p needs a port number from 1 to 65535, not \"" + value + "\"";
                    return false;
                }
                break;
            case 't':
                if (!ParseTimeout(value, opts.timeoutMs)) {
                    err = "-t needs a time-out in seconds above 0 and at most 86400, not \"" + value + "\"";
                    return false;
                }
                break;
            case 'P':
                opts.hasPassword = true;
                opts.password = value;
                opts.passwordArgIndex = static_cast<int>(valueIndex);
                opts.passwordArgOffset = offset;
                break;
            case 'f':
                if (value.empty()) {
                    err = "-f needs a file name";
                    return false;
                }
                opts.hasPasswordFile = true;
                opts.passwordFile = value;
                break;
        }
    }
    if (!Targets(opts, err) || !CheckCombinations(opts, err)) return false;
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
