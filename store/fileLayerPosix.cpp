// fileLayerPosix.cpp -- placeholder until written
