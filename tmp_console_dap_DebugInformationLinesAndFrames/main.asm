; the program
