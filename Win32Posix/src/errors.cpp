// Placeholder; replaced by the layer's error mapping.
#include <windows.h>
