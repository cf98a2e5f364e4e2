// Resources embedded in the executable (see resource.h).
