/* A tiny module for the module-loading tests. */
int probe_answer(void);
int probe_answer(void) { return 42; }
