// A shared object with one export, for the loader's tests.
extern "C" __attribute__((visibility("default"))) int ProbeAnswer() {
    return 42;
}
