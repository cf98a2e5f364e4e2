// Resources embedded in the executable, read as the Windows resource calls
// read them. To be filled in.
#pragma once
