// libvemio_pa.so: the companion that links PortAudio for vemio's device code, which opens this
// library at run time instead of linking PortAudio itself (see core/src/device/portaudio.cpp).
// Beside the extension module, it makes the packaged PortAudio the one found.
#include <portaudio.h>

extern "C" __attribute__((visibility("default"))) int vemio_pa_version() { return Pa_GetVersion(); }
