// Something for the probe to load; it exports one entry so a found library can be told apart.
extern "C" __attribute__((visibility("default"))) int load_target_marker() {
    return 42;
}
