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
constexpr int64_t UPGRADE_MIN_SIZE = 101;
constexpr int64_t UPGRADE_MAX_SIZE = 10485759;
// Length of the enciphered digest that follows the executable.
constexpr int UPGRADE_DIGEST_SIZE = 16;
// A transfer may take this long in all, whatever the pace of the client.
constexpr std::chrono::seconds UPGRADE_TRANSFER_CAP{300};
// Names of the received executable and of the script in the temporary folder.
constexpr const char* UPGRADE_IMAGE_NAME = "zel__.upd";
constexpr const char* UPGRADE_SCRIPT_NAME = "zelupd__.sh";
// Longest temporary folder name the script path may hold.
constexpr int UPGRADE_MAX_DIR = 1023;

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

// 1 when the slot was free: it is now this record's (Active = 1, the key
// kept); 0 when another upgrade holds it. Takes upgrade_mutex.
int RequestUpgrade(UpgradeRec& rec, const String& sessionKey);
// Frees the slot and ends the record's transfer (Active = 0); the files are
// the caller's business. Takes upgrade_mutex.
void ReleaseUpgradeSlot(UpgradeRec& rec);

// Before the transfer, once the record holds the slot: creates the file
// that receives the executable and starts its digest. 1 when done (also
// when it already was); 0 with the error text and the slot freed.
int PrepareUpgradeImage(UpgradeRec& rec, String& error);

// One piece of the transfer as it arrived: image bytes up to the announced
// size, then the enciphered digest, judged once all of its bytes are there.
// 1 while the transfer goes on or when it ended well (Active then 0, the
// script's path handed to the main loop through ZELFlags.UpgradeScript); 0
// on failure with the error text, the files removed and the slot freed.
// Prepares the image first when PrepareUpgradeImage has not.
int ReceiveUpgradePiece(UpgradeRec& rec, const char* data, int length, String& error);

// "UpgradeCode" after its gate: claims the slot ("302" when taken), reads
// the announced size (parameter 1) and prepares the received file ("200"),
// or answers "501" "Wrong file parameter(s)" for a size outside
// UPGRADE_MIN_SIZE..UPGRADE_MAX_SIZE, "300" with the error when preparing
// fails. `request` is the whole request (its session key deciphers the
// digest), `params` its parameter lines.
void ProcessUpgradeCode(const VTRequest& request, const VTRequest& params, ZELReply& reply, UpgradeRec& rec);

// The script text for the running executable `zelPath`, the received image
// `imagePath` and the script's own path: it installs the image by copying
// it beside the executable and renaming it over the old path, and starts
// the executable at that path again with the agent's arguments ("$@"),
// whatever happened. Every path is single-quoted.
String BuildUpgradeScript(const String& zelPath, const String& imagePath, const String& scriptPath);

// Called by the main loop when replacing the process by the script failed:
// removes the pending script and image and frees the slot.
void FailPendingUpgrade(const String& scriptPath);
