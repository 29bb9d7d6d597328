#include "daemon/upgrade.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "daemon/cmdline.h"
#include "daemon/flags.h"
#include "daemon/messages.h"
#include "foundation/child.h"
#include "foundation/io.h"
#include "foundation/private_temp.h"
#include "foundation/tempdir.h"
#include "protocol/codecs.h"
#include "protocol/packet.h"

std::mutex upgrade_mutex;

namespace {

// Removes whatever has the name (a file, a planted link), then creates the
// file exclusively without following links, mode 0700.
bool CreateFresh(const char* name, TTempFile& out, String& err) {
    String path = IncludeTrailingPathDelimiter(GetTempDirectory()) + name;
    ::unlink(path.Data());
    return CreateTempFile(out, err, 0700, name);
}

String IntToStr(long long v) {
    const std::string text = std::to_string(v);
    return String(std::string_view(text));
}

// 'text' for the shell: single quotes, each ' written as '\''.
String ShellQuote(const String& text) {
    String out = "'";
    for (int i = 1; i <= text.Length(); ++i) {
        if (text[i] == '\'') out += "'\\''";
        else out += text[i];
    }
    out += "'";
    return out;
}

// What the script needs from the settings of the moment.
TUpgradeScriptPlan ScriptPlan(const String& imagePath, const String& scriptPath) {
    auto s = ZELSettings.Get();
    TUpgradeScriptPlan plan;
    plan.zelPath = s->zelpath;
    plan.imagePath = imagePath;
    plan.scriptPath = scriptPath;
    plan.port = s->port;
    if (s->verbose && !s->verboselogfile.IsEmpty()) plan.verboseLog = LogFilePath(s->verboselogfile, s->cfgfile);
    if (s->logfails && !s->badlogfile.IsEmpty()) plan.failureLog = LogFilePath(s->badlogfile, s->cfgfile);
    return plan;
}

// Up to `max` bytes from the start of a file ("" when it cannot be read).
std::string ReadHead(const char* path, size_t max) {
    std::string out;
    TFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return out;
    out.resize(max);
    size_t got = 0;
    while (got < max) {
        ssize_t n = ::read(fd.Get(), out.data() + got, max - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
}

bool InFile(uint64_t offset, uint64_t size, uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

// Exactly `size` bytes at `offset` of fd into `to`; false on a short read.
bool ReadExactly(int fd, uint64_t offset, void* to, size_t size) {
    char* p = static_cast<char*>(to);
    while (size > 0) {
        ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The ELF checks of CheckUpgradeImage; true when the image is no ELF file
// or an ELF file that may run here.
bool ElfFitsThisMachine(const char* path, String& err) {
    const std::string magic = ReadHead(path, SELFMAG);
    if (magic.size() < SELFMAG || std::memcmp(magic.data(), ELFMAG, SELFMAG) != 0) return true;
    const std::string own = ReadHead("/proc/self/exe", sizeof(ElfW(Ehdr)));
    ElfW(Ehdr) ownHeader{};
    std::memcpy(&ownHeader, own.data(), std::min(own.size(), sizeof ownHeader));

    TFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) {
        err = "Upgrade image refused: it cannot be read";
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    ElfW(Ehdr) h{};
    if (!ReadExactly(fd.Get(), 0, &h, sizeof h)) {
        err = "Upgrade image refused: it is a truncated executable";
        return false;
    }
    // The class, byte order and machine fields lie at the same offsets in
    // 32- and 64-bit headers.
    if (h.e_ident[EI_CLASS] != ownHeader.e_ident[EI_CLASS] || h.e_ident[EI_DATA] != ownHeader.e_ident[EI_DATA] ||
        h.e_machine != ownHeader.e_machine) {
        err = "Upgrade image refused: it is an executable for another machine";
        return false;
    }
    // Program headers, the segments they load, and the section headers
    // (which a linker puts at the end) all lie inside the file.
    bool whole = h.e_phentsize == sizeof(ElfW(Phdr)) &&
                 InFile(h.e_phoff, static_cast<uint64_t>(h.e_phnum) * h.e_phentsize, size) &&
                 (h.e_shoff == 0 || InFile(h.e_shoff, static_cast<uint64_t>(h.e_shnum) * h.e_shentsize, size));
    for (int i = 0; whole && i < h.e_phnum; ++i) {
        ElfW(Phdr) ph{};
        whole = ReadExactly(fd.Get(), h.e_phoff + static_cast<uint64_t>(i) * sizeof ph, &ph, sizeof ph) &&
                InFile(ph.p_offset, ph.p_filesz, size);
    }
    if (!whole) {
        err = "Upgrade image refused: it is a truncated executable";
        return false;
    }
    return true;
}

// The beginning of a program's output, for a refusal text: the first line,
// at most 60 characters, control bytes as '?'.
String OutputSample(const std::string& out) {
    std::string line = out.substr(0, out.find('\n')).substr(0, 60);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return String(line.c_str());
}

}  // namespace

bool CheckUpgradeImage(const String& imagePath, String& err) {
    err = "";
    if (!ElfFitsThisMachine(imagePath.Data(), err)) return false;
    const std::string head = ReadHead(imagePath.Data(), SELFMAG);
    if (head.compare(0, 2, "#!") != 0 && (head.size() < SELFMAG || std::memcmp(head.data(), ELFMAG, SELFMAG) != 0)) {
        err = "Upgrade image refused: it is neither an executable for this machine nor a script";
        return false;
    }

    TFd out;
    String why;
    if (!OpenUnnamedTempFile(out, why)) {
        err = String("Upgrade image refused: cannot capture its self-check: ") + why;
        return false;
    }
    static char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    static char lang[] = "LC_ALL=C";
    static char* const env[] = {path, lang, nullptr};
    TStrList args;
    args.Add(imagePath);
    args.Add(kSelfCheckOption);
    TChildOptions opt;
    opt.stdoutFd = out.Get();
    opt.wait = TChildWait::Deadline;
    opt.killAfterMs = kUpgradeSelfCheckMs;
    opt.envp = env;
    const TChildStatus st = RunChild(args, opt);

    switch (st.kind) {
    case TChildStatus::NotStarted:
        err = String("Upgrade image refused: its self-check could not be started: ") + ErrnoText(st.error);
        return false;
    case TChildStatus::ExecFailed: {
        struct statvfs fs {};
        if (st.error == EACCES && ::statvfs(imagePath.Data(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0) {
            err = String("Upgrade image refused: it cannot be run from ") + ExtractFilePath(imagePath) +
                  ", which is mounted noexec: set tmpdir to a folder where programs may run";
        } else if (st.error == ENOEXEC) {
            err = "Upgrade image refused: it is no executable for this machine";
        } else {
            err = String("Upgrade image refused: it cannot be run: ") + ErrnoText(st.error);
        }
        return false;
    }
    case TChildStatus::Running:
    case TChildStatus::KillFailed:
        err = "Upgrade image refused: its self-check did not end";
        return false;
    case TChildStatus::Signaled:
        if (st.timedOut)
            err = String("Upgrade image refused: its self-check did not end within ") +
                  IntToStr(kUpgradeSelfCheckMs / 1000) + " s";
        else
            err = String("Upgrade image refused: its self-check ended by signal ") + IntToStr(st.signal);
        return false;
    case TChildStatus::Exited:
        break;
    }

    std::string output(4096, '\0');
    ssize_t n = ::pread(out.Get(), output.data(), output.size(), 0);
    output.resize(n > 0 ? static_cast<size_t>(n) : 0);
    const std::string expected = SelfCheckLine();
    if (st.exitCode == 0 && output == expected) return true;
    const String wanted(expected.substr(0, expected.size() - 1).c_str());
    if (st.exitCode != 0)
        err = String("Upgrade image refused: it is not this agent (its self-check ended with exit status ") +
              IntToStr(st.exitCode) + ")";
    else
        err = String("Upgrade image refused: it is not this agent (its self-check printed \"") + OutputSample(output) +
              "\", not \"" + wanted + "\")";
    return false;
}

namespace {

// Ends the transfer with a failure: the image goes, the slot is freed.
bool Fail(UpgradeRec& rec, String& error, const char* text) {
    error = text;
    rec.TempFile.Remove();
    ReleaseUpgradeSlot(rec);
    return false;
}

// The whole image and digest are here: judges them and prepares the script.
bool Finish(UpgradeRec& rec, String& error) {
    String err;
    if (!rec.TempFile.Close(err) || ::chmod(rec.TempPath.Data(), 0700) != 0)
        return Fail(rec, error, "Cannot set exec flag new module");

    unsigned char digest[16];
    MD5Close(&rec.Digest, digest);
    String expected = DecodeData(rec.Trailer, rec.SessionKey);
    if (expected.Length() != 16 || std::memcmp(expected.Data(), digest, 16) != 0)
        return Fail(rec, error, "Wrong CRC");

    // Nothing is replaced by an image that is not an agent of this protocol.
    // The session logs the refusal, with the client's address.
    if (!CheckUpgradeImage(rec.TempPath, err)) return Fail(rec, error, err.Data());
    showmessage("Upgrade image passed its self-check\n", LOCAL, MSG_INFO, 0);

    String dir = ExcludeTrailingPathDelimiter(GetTempDirectory());
    TTempFile script;
    if (dir.Length() > kUpgradeMaxDir || !CreateFresh(kUpgradeScriptName, script, err) ||
        !script.Write(BuildUpgradeScript(ScriptPlan(rec.TempPath, script.Name())), err) || !script.Close(err))
        return Fail(rec, error, "Binary code transferred. Cannot create script file");

    // Success: both files stay for the script; the slot stays taken until
    // the process is replaced (or the replacement fails).
    script.Keep();
    rec.TempFile.Keep();
    rec.Active = 0;
    std::lock_guard<std::mutex> lock(thread_mutex);
    ZELFlags.UpgradeScript = script.Name();
    return true;
}

}  // namespace

UpgradeRec::~UpgradeRec() {
    if (Active) {
        TempFile.Remove();
        ReleaseUpgradeSlot(*this);
    }
}

bool RequestUpgrade(UpgradeRec& rec, const String& sessionKey) {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    if (ZELFlags.UpgradeBusy) return false;
    ZELFlags.UpgradeBusy = 1;
    rec.Active = 1;
    rec.SessionKey = sessionKey;
    rec.Deadline = std::chrono::steady_clock::now() + kUpgradeTransferCap;
    return true;
}

void ReleaseUpgradeSlot(UpgradeRec& rec) {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    ZELFlags.UpgradeBusy = 0;
    rec.Active = 0;
}

bool PrepareUpgradeImage(UpgradeRec& rec, String& error) {
    error = "";
    if (rec.TempFile.IsOpen() || !rec.TempPath.IsEmpty()) return true;
    String err;
    if (!CreateFresh(kUpgradeImageName, rec.TempFile, err)) {
        ReleaseUpgradeSlot(rec);
        error = "Cannot create temp file";
        return false;
    }
    rec.TempPath = rec.TempFile.Name();
    MD5Open(&rec.Digest);
    return true;
}

bool ReceiveUpgradePiece(UpgradeRec& rec, const char* data, int length, String& error) {
    if (!PrepareUpgradeImage(rec, error)) return false;
    if (data == nullptr || length <= 0) return true;

    int64_t left = rec.ExpectedSize - rec.Received;
    if (left > 0) {
        int take = length < left ? length : static_cast<int>(left);
        String err;
        if (!rec.TempFile.Write(data, take, err)) return Fail(rec, error, "Write error");
        MD5Digest(&rec.Digest, data, static_cast<size_t>(take));
        rec.Received += take;
        data += take;
        length -= take;
    }
    if (length > 0) rec.Trailer.AddData(data, length);
    // The digest is judged once all of its bytes are here, however TCP cut
    // the stream; more than its size is judged at once (and fails).
    if (rec.Received < rec.ExpectedSize || rec.Trailer.Length() < kUpgradeDigestSize) return true;
    return Finish(rec, error);
}

bool CheckUpgradeWritable(const String& zelpath, String& err) {
    const String folder = ExtractFilePath(zelpath);
    const String dir = folder.Length() > 1 ? ExcludeTrailingPathDelimiter(folder) : folder;
    if (dir.IsEmpty() || ::faccessat(AT_FDCWD, dir.Data(), W_OK | X_OK, AT_EACCESS) == 0) return true;
    const int e = errno;
    if (e != EACCES && e != EPERM && e != EROFS) return true;
    err = String("Upgrade refused: cannot replace ") + zelpath + ": no write access to " + dir + " (" + ErrnoText(e) + ")";
    return false;
}

void ProcessUpgradeCode(const VTRequest& request, const VTRequest& params, ZELReply& reply, UpgradeRec& rec) {
    if (!RequestUpgrade(rec, request.GetSessionKey())) {
        reply.SetResult(TResultCode::UpgradeBusy);
        return;
    }
    rec.ExpectedSize = zelDecodeInt64(params.GetParam(1, true));
    rec.SizeSet = 1;
    if (rec.ExpectedSize < kUpgradeMinSize || rec.ExpectedSize > kUpgradeMaxSize) {
        reply.SetResult(TResultCode::WrongParams, "Wrong file parameter(s)");
        ReleaseUpgradeSlot(rec);
        return;
    }
    String error;
    if (!CheckUpgradeWritable(ZELSettings.Get()->zelpath, error)) {
        reply.SetResult(TResultCode::Failed, error);
        ReleaseUpgradeSlot(rec);
        return;
    }
    if (PrepareUpgradeImage(rec, error)) reply.SetResult(TResultCode::Ok);
    else reply.SetResult(TResultCode::Failed, error);
}

String BuildUpgradeScript(const TUpgradeScriptPlan& plan) {
    String s;
    s += "#! /bin/sh\n";
    s += "# Installs a new zel executable and starts it with the agent's arguments;\n";
    s += "# when the new agent does not listen on its port in time, the previous\n";
    s += "# executable is put back and started instead.\n";
    s += String("oldZEL=") + ShellQuote(plan.zelPath) + "\n";
    s += String("newZEL=") + ShellQuote(plan.imagePath) + "\n";
    s += String("script=") + ShellQuote(plan.scriptPath) + "\n";
    s += String("verboseLog=") + ShellQuote(plan.verboseLog) + "\n";
    s += String("failureLog=") + ShellQuote(plan.failureLog) + "\n";
    s += String("port=") + IntToStr(plan.port) + "\n";
    s += String("waitSeconds=") + IntToStr(plan.waitSeconds) + "\n";
    s += String("systemLog=") + (plan.systemLog ? "1" : "0") + "\n";
    s += String("prevZEL=\"$oldZEL") + kUpgradePreviousSuffix + "\"\n";
    s += R"SH(tmpZEL="$oldZEL.new.$$"
# The mode and the port as the new agent will read its arguments: options
# come in any order before the file, the last -i/-d wins, and -p overrides
# the file's port.
interactive=0
portNext=0
for arg in "$@"; do
  if [ "$portNext" = 1 ]; then port=$arg; portNext=0; continue; fi
  case "$arg" in
    -i) interactive=1 ;;
    -d) interactive=0 ;;
    -p) portNext=1 ;;
    -*) ;;
    *) break ;;
  esac
done
rm -f "$script"

# note info|err TEXT: one line to the console, the log files (each once)
# and, for a daemon, the system log. Every outcome is part of the audit
# trail, so the failure log has it whatever the verbose log does.
note() {
  line=`printf '[%s]\t zel\t\t %s' "$(date '+%m/%d/%Y %H:%M:%S')" "$2"`
  if [ "$1" = err ]; then printf '%s\n' "$line" >&2; else printf '%s\n' "$line"; fi
  other=$failureLog
  [ "$other" = "$verboseLog" ] && other=
  for f in "$verboseLog" "$other"; do
    [ -n "$f" ] || continue
    [ -L "$f" ] && continue
    [ -e "$f" ] && [ ! -f "$f" ] && continue
    printf '%s\n' "$line" >> "$f"
  done
  if [ "$interactive" = 0 ] && [ "$systemLog" = 1 ] && command -v logger >/dev/null 2>&1; then
    logger -t zel -p "daemon.$1" -- "$2" 2>/dev/null
  fi
}

# A socket listens on the port (IPv4 or IPv6): state 0A of a line
# "  sl: local_address:PORT rem_address:port st ...".
listening() {
  hex=`printf '%04X' "$port"`
  grep -qsE "^ *[0-9]+: [0-9A-Fa-f]+:$hex [0-9A-Fa-f]+:[0-9A-Fa-f]+ 0A " /proc/net/tcp /proc/net/tcp6
}

# Process $1 runs (a zombie does not).
alive() {
  kill -0 "$1" 2>/dev/null || return 1
  state=`sed -n 's/^.*) \([A-Za-z]\).*$/\1/p' "/proc/$1/stat" 2>/dev/null`
  [ "$state" != Z ] && [ "$state" != X ]
}

# Up to waitSeconds for the port; less once process $1 has ended.
wait_listen() {
  n=0
  while :; do
    listening && return 0
    if ! alive "$1"; then
      listening
      return
    fi
    [ "$n" -ge "$waitSeconds" ] && return 1
    sleep 1
    n=$((n + 1))
  done
}

# Ends process $1: SIGTERM, SIGKILL after 5 s.
stop() {
  n=0
  while alive "$1" && [ "$n" -lt 5 ]; do
    [ "$n" = 0 ] && kill -TERM "$1" 2>/dev/null
    sleep 1
    n=$((n + 1))
  done
  alive "$1" && kill -KILL "$1" 2>/dev/null
  return 0
}

# The children of process $1: from the kernel's list where it keeps one,
# else from the parent pid of every process.
children() {
  if [ -r "/proc/$1/task/$1/children" ]; then
    cat /proc/"$1"/task/*/children 2>/dev/null
  else
    grep -lsE "^PPid:[[:space:]]+$1\$" /proc/[0-9]*/status | sed 's|^/proc/\([0-9]*\)/status$|\1|'
  fi
}

# Puts the previous executable back; $1 says why.
rollback() {
  if [ -f "$prevZEL" ] && mv -f "$prevZEL" "$oldZEL"; then
    note err "Upgrade failed: $1; the previous executable is back at $oldZEL and starts again"
  else
    note err "Upgrade failed: $1; the previous executable could not be put back, starting $oldZEL"
  fi
}

succeeded() {
  rm -f "$prevZEL"
  note info "Upgrade installed: the new agent at $oldZEL listens on port $port"
}

# Keep the previous executable beside the agent, then copy the new one
# beside it and rename it over the old path: at every moment the old path
# holds a whole executable.
if cp -f "$oldZEL" "$prevZEL.$$" && mv -f "$prevZEL.$$" "$prevZEL" &&
   cp -f "$newZEL" "$tmpZEL" && chmod 0755 "$tmpZEL" && mv -f "$tmpZEL" "$oldZEL"; then
  rm -f "$newZEL"
else
  rm -f "$newZEL" "$tmpZEL" "$prevZEL.$$" "$prevZEL"
  note err "Upgrade failed: cannot install the new executable at $oldZEL; the previous one starts again"
  exec "$oldZEL" "$@"
fi

if [ "$interactive" = 1 ]; then
  # The agent stays in the foreground in this process; a watch, detached
  # from it, judges the outcome.
  agent=$$
  (
    (
      exec </dev/null
      if wait_listen "$agent"; then
        succeeded
        exit 0
      fi
      stop "$agent"
      rollback "the new agent did not listen on port $port within $waitSeconds s"
      exec "$oldZEL" "$@"
    ) &
  )
  exec "$oldZEL" "$@"
fi

# Daemon mode: the starter ends once the daemon listens, or when it fails.
"$oldZEL" "$@" </dev/null &
starter=$!
if wait_listen "$starter"; then
  wait "$starter"
  succeeded
  exit 0
fi
# The daemon it forked is still its child until it says it is ready: stop
# that first, so no hung daemon is left behind.
for pid in `children "$starter"`; do stop "$pid"; done
stop "$starter"
wait "$starter" 2>/dev/null
rollback "the new agent did not listen on port $port within $waitSeconds s"
exec "$oldZEL" "$@"
)SH";
    return s;
}

void FailPendingUpgrade(const String& scriptPath) {
    if (!scriptPath.IsEmpty()) ::unlink(scriptPath.Data());
    String image = IncludeTrailingPathDelimiter(GetTempDirectory()) + kUpgradeImageName;
    ::unlink(image.Data());
    {
        std::lock_guard<std::mutex> lock(thread_mutex);
        ZELFlags.UpgradeScript = "";
    }
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    ZELFlags.UpgradeBusy = 0;
}

String UpgradeRefusalLine(const String& error) {
    if (error.View().starts_with("Upgrade ")) return error;
    return String("Upgrade refused: ") + error;
}
