// Restore journals, as the emulator reads them at start before recovering;
// what reads must also write back to a journal that reads the same.
#include "emulator/journal.h"
#include "fuzz/fuzz_support.h"
#include "platform/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    emulator::JournalContent content;
    try {
        content = emulator::DecodeJournal(std::string(quillfuzz::Bytes(data, size)));
    } catch (const platform::Exception&) {
        return 0;
    }
    const std::string encoded = emulator::EncodeJournal(content);
    try {
        quillfuzz::Require(emulator::EncodeJournal(emulator::DecodeJournal(encoded)) == encoded,
                           "a written journal reads back the same");
    } catch (const platform::Exception&) {
        quillfuzz::Require(false, "a written journal reads back");
    }
    return 0;
}
