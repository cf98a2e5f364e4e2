// Late-bound automation objects, created from a program identifier as COM
// does it. To be filled in.
#pragma once
