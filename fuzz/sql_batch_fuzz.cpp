// Statement texts (Windows-1252, as the batch's UTF-16 becomes).
#include "emulator/sql.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    emulator::sql::ParseBatch(platform::AnsiString(quillfuzz::Bytes(data, size)));
    return 0;
}
