// Late-bound automation objects (see automation.h).
