#include "daemon/upgrade.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "config/settings.h"
#include "daemon/flags.h"
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

// Ends the transfer with a failure: the image goes, the slot is freed.
int Fail(UpgradeRec& rec, String& error, const char* text) {
    error = text;
    rec.TempFile.Remove();
    ReleaseUpgradeSlot(rec);
    return 0;
}

int Finish(UpgradeRec& rec, String& error) {
    String err;
    if (!rec.TempFile.Close(err) || ::chmod(rec.TempPath.Data(), 0700) != 0)
        return Fail(rec, error, "Cannot set exec flag new module");

    unsigned char digest[16];
    MD5Close(&rec.Digest, digest);
    String expected = DecodeData(rec.Trailer, rec.SessionKey);
    if (expected.Length() != 16 || std::memcmp(expected.Data(), digest, 16) != 0)
        return Fail(rec, error, "Wrong CRC");

    String dir = ExcludeTrailingPathDelimiter(GetTempDirectory());
    TTempFile script;
    if (dir.Length() > UPGRADE_MAX_DIR || !CreateFresh(UPGRADE_SCRIPT_NAME, script, err) ||
        !script.Write(BuildUpgradeScript(ZELSettings.Get()->zelpath, rec.TempPath, script.Name()), err) ||
        !script.Close(err))
        return Fail(rec, error, "Binary code transferred. Cannot create script file");

    // Success: both files stay for the script; the slot stays taken until
    // the process is replaced (or the replacement fails).
    script.Keep();
    rec.TempFile.Keep();
    rec.Active = 0;
    std::lock_guard<std::mutex> lock(thread_mutex);
    ZELFlags.UpgradeScript = script.Name();
    return 1;
}

}  // namespace

UpgradeRec::~UpgradeRec() {
    if (Active) {
        TempFile.Remove();
        ReleaseUpgradeSlot(*this);
    }
}

int RequestUpgrade(UpgradeRec& rec, const String& sessionKey) {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    if (ZELFlags.UpgradeBusy) return 0;
    ZELFlags.UpgradeBusy = 1;
    rec.Active = 1;
    rec.SessionKey = sessionKey;
    rec.Deadline = std::chrono::steady_clock::now() + UPGRADE_TRANSFER_CAP;
    return 1;
}

void ReleaseUpgradeSlot(UpgradeRec& rec) {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    ZELFlags.UpgradeBusy = 0;
    rec.Active = 0;
}

int PrepareUpgradeImage(UpgradeRec& rec, String& error) {
    error = "";
    if (rec.TempFile.IsOpen() || !rec.TempPath.IsEmpty()) return 1;
    String err;
    if (!CreateFresh(UPGRADE_IMAGE_NAME, rec.TempFile, err)) {
        ReleaseUpgradeSlot(rec);
        error = "Cannot create temp file";
        return 0;
    }
    rec.TempPath = rec.TempFile.Name();
    MD5Open(&rec.Digest);
    return 1;
}

int ReceiveUpgradePiece(UpgradeRec& rec, const char* data, int length, String& error) {
    if (!PrepareUpgradeImage(rec, error)) return 0;
    if (data == nullptr || length <= 0) return 1;

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
    if (rec.Received < rec.ExpectedSize || rec.Trailer.Length() < UPGRADE_DIGEST_SIZE) return 1;
    return Finish(rec, error);
}

void ProcessUpgradeCode(const VTRequest& request, const VTRequest& params, ZELReply& reply, UpgradeRec& rec) {
    if (!RequestUpgrade(rec, request.GetSessionKey())) {
        reply.SetResult(TResultCode::UpgradeBusy);
        return;
    }
    rec.ExpectedSize = zelDecodeInt64(params.GetParam(1, true));
    rec.SizeSet = 1;
    if (rec.ExpectedSize < UPGRADE_MIN_SIZE || rec.ExpectedSize > UPGRADE_MAX_SIZE) {
        reply.SetResult(TResultCode::WrongParams, "Wrong file parameter(s)");
        ReleaseUpgradeSlot(rec);
        return;
    }
    String error;
    if (PrepareUpgradeImage(rec, error)) reply.SetResult(TResultCode::Ok);
    else reply.SetResult(TResultCode::Failed, error);
}

String BuildUpgradeScript(const String& zelPath, const String& imagePath, const String& scriptPath) {
    String s;
    s += "#! /bin/sh\n";
    s += String("oldZEL=") + ShellQuote(zelPath) + "\n";
    s += String("newZEL=") + ShellQuote(imagePath) + "\n";
    s += String("script=") + ShellQuote(scriptPath) + "\n";
    s += "# Copy beside the old executable, then rename over it: at every moment\n";
    s += "# the old path holds a whole executable.\n";
    s += "tmpZEL=\"$oldZEL.new.$$\"\n";
    s += "if cp -f \"$newZEL\" \"$tmpZEL\" && chmod 0755 \"$tmpZEL\" && mv -f \"$tmpZEL\" \"$oldZEL\"; then\n";
    s += "  echo \"zel upgraded: $oldZEL\"\n";
    s += "else\n";
    s += "  echo \"zel upgrade failed, starting the old executable again\" >&2\n";
    s += "  rm -f \"$tmpZEL\"\n";
    s += "fi\n";
    s += "rm -f \"$newZEL\" \"$script\"\n";
    s += "exec \"$oldZEL\" \"$@\"\n";
    return s;
}

void FailPendingUpgrade(const String& scriptPath) {
    if (!scriptPath.IsEmpty()) ::unlink(scriptPath.Data());
    String image = IncludeTrailingPathDelimiter(GetTempDirectory()) + UPGRADE_IMAGE_NAME;
    ::unlink(image.Data());
    {
        std::lock_guard<std::mutex> lock(thread_mutex);
        ZELFlags.UpgradeScript = "";
    }
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    ZELFlags.UpgradeBusy = 0;
}
