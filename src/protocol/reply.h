// One reply under construction: a result code line, value lines, then the
// end-of-transmission mark, enciphered under the request's session key.
#pragma once

#include <ctime>
#include <memory>

#include "foundation/qdstring.h"
#include "protocol/result_codes.h"

class TCipherKey;
class VTRequest;

// The end-of-transmission mark that closes every reply text.
constexpr char kEndOfTransmission = '\r';

class ZELReply : public String {
public:
    ZELReply() = default;
    ZELReply& operator=(const String& text);
    ZELReply& operator=(const char* text);

    // text = result + LF (empty for a null result); key = the session key.
    void InitPacket(const char* result, const String& key);
    // The same, reusing the session key already prepared for the request.
    void InitPacket(const char* result, const VTRequest& request);
    // Replaces the whole text by code + LF (empty for a null code).
    void SetResult(const char* code);
    void SetResult(TResultCode code) { SetResult(ResultDigits(code)); }
    // The code line followed by its first text, in one call: code + LF + text.
    void SetResult(TResultCode code, const char* text);
    void SetResult(TResultCode code, const String& text);
    // The three digits of the result code ("" before any code was set).
    String ResultCode() const;
    // Appends a line feed unless the text is empty or already ends in one.
    void CommandSeparatorCheck();

    // Day, month, four-digit year, hour, minute, second: 14 digits.
    void AddTimeParam(const struct tm& t);
    void AddTimeParam(time_t t);  // converted to local time first
    void AddIntParam(int value);         // "%d"
    void AddIntParam(long long value);   // "%6lld", at most 34 characters
    void AddIntParam(long value) { AddIntParam(static_cast<long long>(value)); }
    void AddRealParam(double value);     // "%6.4f", at most 34 characters
    void AddBoolParam(int value);        // "1" or "0"
    // The text, escaped by zelEncodeStrings when encode is true.
    void AddStringParam(const char* text, bool encode = false);
    void AddStringParam(const String& text, bool encode = false);
    // Formats into 2,048 bytes; a failure or a longer result adds nothing.
    void AddVarParams(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Separator, end mark, then text = EncodeData(text, key, 4).
    void FinalizePacket();

private:
    String key_;
    std::shared_ptr<const TCipherKey> cipher_;  // prepared key_, when known
};
