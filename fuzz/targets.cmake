# The fuzz targets and the libraries each exercises, shared by the libFuzzer
# build (fuzz/) and the corpus replay of the tests (tests/fuzz/).
set(QUILL_FUZZ_TARGETS
    tds_prelogin
    tds_login7
    tds_batch
    tds_rpc
    sql_batch
    backup_file
    journal
    catalogue
    ssrp_request
    ssrp_answer
    profile
)
set(QUILL_FUZZ_LIBS_ssrp_request quill_emulator quill_sqldmo_browse)
set(QUILL_FUZZ_LIBS_ssrp_answer quill_sqldmo_browse)
set(QUILL_FUZZ_LIBS_profile quill_platform)
foreach(t IN LISTS QUILL_FUZZ_TARGETS)
    if(NOT DEFINED QUILL_FUZZ_LIBS_${t})
        set(QUILL_FUZZ_LIBS_${t} quill_emulator)
    endif()
endforeach()
