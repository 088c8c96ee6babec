// fileLayerWin32.cpp -- placeholder until written
