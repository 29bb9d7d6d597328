#include "protocol/result_codes.h"

const TResultCodeInfo kResultCodes[8] = {
    {TResultCode::Ok, "200", "success"},
    {TResultCode::Failed, "300", "operation failed"},
    {TResultCode::NotDone, "301", "could not be carried out"},
    {TResultCode::UpgradeBusy, "302", "another upgrade in progress"},
    {TResultCode::NotSupported, "500", "not understood or not supported"},
    {TResultCode::WrongParams, "501", "wrong or missing parameters"},
    {TResultCode::NoEndMark, "502", "end-of-transmission mark missing"},
    {TResultCode::NotAllowed, "600", "not allowed by the agent's settings"},
};

const char* ResultDigits(TResultCode code) { return kResultCodes[static_cast<int>(code)].digits; }

const TResultCodeInfo* FindResultCode(std::string_view digits) {
    for (const TResultCodeInfo& info : kResultCodes)
        if (digits == info.digits) return &info;
    return nullptr;
}
