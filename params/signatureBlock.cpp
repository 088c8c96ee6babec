// signatureBlock.cpp -- placeholder until written
#include "params/signatureBlock.h"

#include "entry/memory.h"

SignatureBlock* createSignatureBlock(int32_t) {
  return static_cast<SignatureBlock*>(allocBlock(sizeof(SignatureBlock)));
}
void disposeSignatureBlock(SignatureBlock* block) { freeBlock(block); }
void setSignatureHeader(SignatureBlock*, OSType, int8_t, int8_t) {}
OSErr fillFilterSignature(const RunContext*, SignatureBlock*) { return 0; }
