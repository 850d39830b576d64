// A tiny shared library for the module tests: loaded as "QelProbe.dll"
// through its POSIX name, libqelprobe.so.
extern "C" __attribute__((visibility("default"))) int QelProbeAnswer()
{
    return 42;
}
