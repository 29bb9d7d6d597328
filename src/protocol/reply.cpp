#include "protocol/reply.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "crypto/cfb8.h"
#include "protocol/codecs.h"
#include "protocol/packet.h"
#include "protocol/request.h"

namespace {

constexpr int kNumberCut = 34;     // longest 64-bit integer or real text
constexpr int kVarBuffer = 2048;   // AddVarParams buffer

}  // namespace

ZELReply& ZELReply::operator=(const String& text) {
    String::operator=(text);
    return *this;
}

ZELReply& ZELReply::operator=(const char* text) {
    String::operator=(text);
    return *this;
}

void ZELReply::InitPacket(const char* result, const String& key) {
    SetResult(result);
    key_ = key;
    cipher_.reset();
}

void ZELReply::InitPacket(const char* result, const VTRequest& request) {
    SetResult(result);
    key_ = request.GetSessionKey();
    cipher_ = request.GetSessionCipher();
}

void ZELReply::SetResult(const char* code) {
    String::operator=(String());
    if (code != nullptr) {
        AddData(code, -1);
        AddChar('\n');
    }
}

void ZELReply::SetResult(TResultCode code, const char* text) {
    SetResult(code);
    AddData(text, -1);
}

void ZELReply::SetResult(TResultCode code, const String& text) {
    SetResult(code);
    *this += text;
}

String ZELReply::ResultCode() const { return Length() > 2 ? Copy(1, 3) : String(); }

void ZELReply::CommandSeparatorCheck() {
    if (!IsEmpty() && (*this)[Length()] != '\n') AddChar('\n');
}

void ZELReply::AddTimeParam(const struct tm& t) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%2.2d%2.2d%4.4d%2.2d%2.2d%2.2d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900,
                  t.tm_hour, t.tm_min, t.tm_sec);
    AddStringParam(buf);
}

void ZELReply::AddTimeParam(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    AddTimeParam(local);
}

void ZELReply::AddIntParam(int value) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%d", value);
    AddStringParam(buf);
}

void ZELReply::AddIntParam(long long value) {
    char buf[kNumberCut + 1];
    std::snprintf(buf, sizeof(buf), "%6lld", value);
    AddStringParam(buf);
}

void ZELReply::AddRealParam(double value) {
    char buf[kNumberCut + 1];
    std::snprintf(buf, sizeof(buf), "%6.4f", value);
    AddStringParam(buf);
}

void ZELReply::AddBoolParam(int value) { AddStringParam(value != 0 ? "1" : "0"); }

void ZELReply::AddStringParam(const char* text, bool encode) {
    CommandSeparatorCheck();
    if (text != nullptr) {
        if (encode) *this += zelEncodeStrings(text, 0);
        else AddData(text, -1);
    }
    AddChar('\n');
}

void ZELReply::AddStringParam(const String& text, bool encode) {
    CommandSeparatorCheck();
    if (encode) *this += zelEncodeStrings(text);
    else *this += text;
    AddChar('\n');
}

void ZELReply::AddVarParams(const char* format, ...) {
    if (format == nullptr) return;
    char buf[kVarBuffer];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    if (n < 0 || n > kVarBuffer) return;
    AddStringParam(buf);
}

void ZELReply::FinalizePacket() {
    CommandSeparatorCheck();
    AddChar(kEndOfTransmission);
    if (!cipher_) cipher_ = PrepareCipherKey(key_);
    String packet = EncodeData(*this, *cipher_, 4);
    String::operator=(std::move(packet));
}
