// A shared library for the library-loading tests: one entry point.
extern "C" int test_library_answer() { return 42; }
