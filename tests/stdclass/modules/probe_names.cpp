// Test module: entry points exported under both decorations, to check which
// one the loader prefers.
extern "C" {
__attribute__((visibility("default"))) int Probe_Entry_Decorated() __asm__("_Probe_Entry");
__attribute__((visibility("default"))) int Probe_Entry_Decorated() { return 1; }
__attribute__((visibility("default"))) int Probe_Entry() { return 2; }
__attribute__((visibility("default"))) int Probe_Plain() { return 3; }
}
