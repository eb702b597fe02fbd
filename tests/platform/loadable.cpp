// A tiny library for the loader tests.
extern "C" __attribute__((visibility("default"))) int plenova_test_answer() { return 42; }
