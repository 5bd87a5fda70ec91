// Stands in for the flag that the program's entry point defines.
int DEBUG = 0;
