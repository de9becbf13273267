/* The baseline of the process benchmark of the condition-test program: a program that only
   returns 0. */
int main(void) { return 0; }
