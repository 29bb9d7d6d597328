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
        if (a == "--upgrade" || a.rfind("--upgrade=", 0) == 0) {
            std::string file;
            if (a == "--upgrade") {
                if (i + 1 >= args.size()) {
                    err = "--upgrade needs the new executable's file name";
                    return false;
                }
                file = args[++i];
            } else {
                file = a.substr(10);
            }
            if (file.empty()) {
                err = "--upgrade needs the new executable's file name";
                return false;
            }
            opts.upgradeFile = file;
            continue;
        }
        if (a.size() < 2 || a[0] != '-') {
            commandFound = true;
            break;
        }
        if (a[1] == '-' || std::strchr("HptPf", a[1]) == nullptr) {
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
                opts.host = value;
                break;
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
