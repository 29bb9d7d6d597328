// TCRC32 in a file of its own: programs that only
// need SHA-1 (the query client) then do not load ISA-L at all.
#include "crypto/crc32.h"

#include <cstring>

#include <isa-l.h>

void TCRC32::UpdateCRC(uint8_t byte) { UpdateCRC(&byte, 1); }

// ISA-L's crc32_gzip_refl takes and returns the standard (inverted) value;
// the register here is its complement.
void TCRC32::UpdateCRC(const void* data, int64_t length) {
    if (data == nullptr) return;
    if (length < 0) length = static_cast<int64_t>(std::strlen(static_cast<const char*>(data)));
    if (length == 0) return;
    crc_ = ~crc32_gzip_refl(~crc_, static_cast<const unsigned char*>(data), static_cast<uint64_t>(length));
}

uint32_t TCRC32::GetBlockCRC(const void* data, int64_t length) {
    InitCRC();
    UpdateCRC(data, length);
    return GetCRC();
}
