// Self-upgrade: receiving a new executable on the connection of an
// "UpgradeCode" request, checking its digest, and preparing the script that
// installs it and starts the agent again.
//
// One upgrade at a time in the whole process: the slot (`UpgradeBusy` of
// ZELFlags) is claimed by RequestUpgrade under upgrade_mutex. The session's
// UpgradeRec owns the slot and the received file while the transfer runs;
// destroying the record mid-transfer (client gone, stalled, failed) removes
// the file and frees the slot. After a successful transfer the slot stays
// taken until the process is replaced, so no second upgrade can touch the
// pending image; the main loop frees it (FailPendingUpgrade) when the
// replacement fails. An UpgradeRec is used by its session thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

#include "crypto/md5.h"
#include "foundation/fileutils.h"
#include "foundation/qdstring.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// Sizes an "UpgradeCode" request may announce, in bytes.
constexpr int64_t kUpgradeMinSize = 101;
constexpr int64_t kUpgradeMaxSize = 10485759;
// Length of the enciphered digest that follows the executable.
constexpr int kUpgradeDigestSize = 16;
// A transfer may take this long in all, whatever the pace of the client.
constexpr std::chrono::seconds kUpgradeTransferCap{300};
// Names of the received executable and of the script in the temporary folder.
constexpr const char* kUpgradeImageName = "zel__.upd";
constexpr const char* kUpgradeScriptName = "zelupd__.sh";
// Longest temporary folder name the script path may hold.
constexpr int kUpgradeMaxDir = 1023;

// Guards the upgrade slot.
extern std::mutex upgrade_mutex;

struct UpgradeRec {
    UpgradeRec() = default;
    UpgradeRec(const UpgradeRec&) = delete;
    UpgradeRec& operator=(const UpgradeRec&) = delete;
    // Mid-transfer: removes the received file and frees the slot.
    ~UpgradeRec();

    int Active = 0;            // 1 while this session owns the slot and receives
    int64_t ExpectedSize = 0;  // announced size of the executable
    int64_t Received = 0;      // bytes of it written so far
    int SizeSet = 0;           // 1 once the size was stored
    TTempFile TempFile;        // the received executable while receiving
    String TempPath;           // its path
    MD5 Digest;                // running digest of the executable
    String SessionKey;         // key of the "UpgradeCode" request
    String Trailer;            // enciphered digest bytes collected so far
    std::chrono::steady_clock::time_point Deadline{};  // end of the whole transfer
};

// true when the slot was free: it is now this record's (Active = 1, the key
// kept); false when another upgrade holds it. Takes upgrade_mutex.
bool RequestUpgrade(UpgradeRec& rec, const String& sessionKey);
// Frees the slot and ends the record's transfer (Active = 0); the files are
// the caller's business. Takes upgrade_mutex.
void ReleaseUpgradeSlot(UpgradeRec& rec);

// Before the transfer, once the record holds the slot: creates the file
// that receives the executable and starts its digest. true when done (also
// when it already was); false with the error text and the slot freed.
bool PrepareUpgradeImage(UpgradeRec& rec, String& error);

// One piece of the transfer as it arrived: image bytes up to the announced
// size, then the enciphered digest, judged once all of its bytes are there.
// true while the transfer goes on or when it ended well (Active then 0, the
// script's path handed to the main loop through ZELFlags.UpgradeScript);
// false on failure with the error text, the files removed and the slot
// freed. Prepares the image first when PrepareUpgradeImage has not.
bool ReceiveUpgradePiece(UpgradeRec& rec, const char* data, int length, String& error);

// Whether this process may replace the agent's executable `zelpath` (the
// script creates files beside it and renames one over it): false with err
// ("Upgrade refused: cannot replace <zelpath>: no write access to <folder>
// (<system's reason>)") when its folder refuses writing for lack of rights
// or a read-only file system. Effective ids; thread-safe.
bool CheckUpgradeWritable(const String& zelpath, String& err);

// "UpgradeCode" after its gate: claims the slot ("302" when taken), reads
// the announced size (parameter 1), checks that the executable may be
// replaced (CheckUpgradeWritable) and prepares the received file ("200"),
// or answers "501" "Wrong file parameter(s)" for a size outside
// kUpgradeMinSize..kUpgradeMaxSize, "300" with the error when the
// executable may not be replaced or preparing fails (nothing is received
// then). `request` is the whole request (its session key deciphers the
// digest), `params` its parameter lines.
void ProcessUpgradeCode(const VTRequest& request, const VTRequest& params, ZELReply& reply, UpgradeRec& rec);

// A received image may take this long for its self-check before it is
// killed and refused.
constexpr int kUpgradeSelfCheckMs = 5000;
// The script waits this long for the new agent to listen on its port
// before it puts the previous executable back.
constexpr int kUpgradeListenWaitSeconds = 15;
// The previous executable is kept under the agent's path with this suffix
// until the new agent listens.
constexpr const char* kUpgradePreviousSuffix = ".previous";

// Judges a received image (closed, executable) before anything is replaced:
// an ELF file must be for this machine (class, byte order, machine) and
// whole (its program headers, segments and section headers inside the
// file); anything but ELF or a "#!" script is refused unrun. The image then
// runs once with kSelfCheckOption and no shell: standard input /dev/null,
// a minimal environment, standard output captured (standard error
// dropped), killed with its process group after kUpgradeSelfCheckMs. It
// passes when it exits 0 having printed exactly SelfCheckLine(). false with
// the refusal text ("Upgrade image refused: ..."). Blocks the caller up to
// the deadline; thread-safe.
bool CheckUpgradeImage(const String& imagePath, String& err);

// What the upgrade script works with.
struct TUpgradeScriptPlan {
    String zelPath;     // the agent's executable, replaced in place
    String imagePath;   // the received image, removed by the script
    String scriptPath;  // the script itself, removed by the script
    int port = 0;       // the port the new agent must listen on, unless its
                        // arguments carry -p PORT
    int waitSeconds = kUpgradeListenWaitSeconds;
    String verboseLog;  // files each outcome line is appended to ("" = none;
    String failureLog;  // a file named by both gets it once)
    bool systemLog = true;  // daemon mode: also to the system log
};

// The script text (POSIX sh; every path single-quoted). Run with the
// agent's arguments, it:
//   1. keeps the previous executable beside the agent (zelPath +
//      kUpgradePreviousSuffix) and installs the image by copying it beside
//      the executable and renaming it over the old path (if that fails, the
//      old executable is started again at once);
//   2. starts the executable at that path with the same arguments ("$@"):
//      in interactive mode (a "-i" among the options, the last of -i/-d
//      winning) it replaces the script
//      (same process), a background watch judging the outcome; otherwise it
//      runs as a daemon's starter;
//   3. waits up to waitSeconds for a socket listening on the port (read from
//      /proc/net/tcp and tcp6), less when the new agent ends before;
//   4. on success removes the previous executable; otherwise stops the new
//      agent if it still runs, renames the previous executable back and
//      starts it with the same arguments.
// Each outcome (installed, rolled back, failed) is a line in both log
// files, on the console, and in daemon mode in the system log (logger -t
// zel, where installed).
String BuildUpgradeScript(const TUpgradeScriptPlan& plan);

// Called by the main loop when replacing the process by the script failed:
// removes the pending script and image and frees the slot.
void FailPendingUpgrade(const String& scriptPath);

// The audit line (without its end) of an upgrade that ended with `error`,
// the text of its "300" reply: the text alone when it already names the
// refusal ("Upgrade image refused: ...", "Upgrade refused: ..."), else
// "Upgrade refused: " and the text ("Upgrade refused: Wrong CRC").
String UpgradeRefusalLine(const String& error);
