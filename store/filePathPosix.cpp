// filePathPosix.cpp -- placeholder until written
