// Something for the probe to load; it exports one entry so a found library can be told apart.
extern "C" TEST_EXPORT int load_target_marker() {
    return 42;
}
