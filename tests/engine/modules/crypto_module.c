/* A module that tells where it was built for: the search tests load copies
 * of it from different folders and ask each which one they got. */
#if defined(_WIN32)
#define MODULE_EXPORT __declspec(dllexport)
#else
#define MODULE_EXPORT
#endif

MODULE_EXPORT const char *ModuleOrigin(void);

MODULE_EXPORT const char *ModuleOrigin(void) { return MODULE_ORIGIN; }
