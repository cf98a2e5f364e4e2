// A shared object that is no component: it lacks the class factory.
extern "C" __attribute__((visibility("default"))) int NotAFactory() {
    return 0;
}
