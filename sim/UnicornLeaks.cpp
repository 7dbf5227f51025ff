// Unicorn keeps translation-cache pages that it frees only with the whole
// engine; when code in the flash view is rewritten, LeakSanitizer reports
// them. The window's toolkit leaves D-Bus and font caches behind on exit the
// same way. They are the libraries', not ours: keep the report about our code.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libunicorn.so\nleak:libdbus-1.so\nleak:libfontconfig.so\n";
}
extern "C" const char* __lsan_default_options();
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
