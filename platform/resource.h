// Resources embedded in an executable, read as the Windows resource calls
// read them (integer types and IDs only).
//
// An executable carries its resources in the ELF section "quill_rsrc": a run
// of records, each a ResourceRecordHeader followed by its bytes, every record
// starting on an 8-byte boundary (zero bytes fill the gaps). The build adds
// records with quill_embed_resource (theme/embed_resource.cmake). The calls
// read the section from the executable's file, so the resources of another
// executable are read the same way as the running one's.
#pragma once

#include <cstdint>

#include "platform/text.h"
#include "platform/win_types.h"

namespace platform {

using WORD = std::uint16_t;

constexpr WORD RT_MANIFEST = 24;
// MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US).
constexpr WORD LANG_ENGLISH_US = 1033;

inline constexpr char kResourceSectionName[] = "quill_rsrc";
inline constexpr char kResourceRecordMagic[4] = {'Q', 'R', 'E', 'S'};

struct ResourceRecordHeader {
    char magic[4];
    std::uint32_t size;  // of the bytes that follow, without the fill
    WORD type;
    WORD id;
    WORD language;
    WORD reserved;
};
static_assert(sizeof(ResourceRecordHeader) == 16);

class ResourceModule;
using HRSRCMODULE = const ResourceModule*;
struct ResourceEntry;
using HRSRC = const ResourceEntry*;
using HGLOBAL = const void*;

// An executable file opened for its resources only, as LoadLibraryExA with
// LOAD_LIBRARY_AS_DATAFILE: null when the file is missing or is not an ELF
// file; a file without resources opens with none. Free with FreeResourceModule.
HRSRCMODULE LoadLibraryAsDataFile(const AnsiString& fileName);
void FreeResourceModule(HRSRCMODULE module);

// A null module is the running executable, read once for the whole run.
// Null when no resource has that type, ID and language.
HRSRC FindResourceExA(HRSRCMODULE module, WORD type, WORD id, WORD language);
HGLOBAL LoadResource(HRSRCMODULE module, HRSRC resource);
DWORD SizeofResource(HRSRCMODULE module, HRSRC resource);
const void* LockResource(HGLOBAL data);

}  // namespace platform
