// filePathWin32.cpp -- placeholder until written
