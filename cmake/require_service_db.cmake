# Fails, saying why, when the local BLAST service's database folder DB has not been built.
if(NOT EXISTS "${DB}/built.stamp")
  message(FATAL_ERROR
    "The local BLAST service's database (${DB}) has not been built, so the suites that run the "
    "service cannot run. It needs BLAST+ (makeblastdb, blastdb_aliastool on PATH): run "
    "scripts/install-deps, configure again and build (cmake -S . -B build && cmake --build build).")
endif()
