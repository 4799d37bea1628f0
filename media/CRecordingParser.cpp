// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/CRecordingParser.h"

#include "media/CContainerParser.h"

bool CRecordingParser::Start() {
  const bool vex = vex_->Start();
  const bool container = container_->Start();
  return vex && container;
}

void CRecordingParser::Stop() {
  vex_->Stop();
  container_->Stop();
}

VMediaParser* CRecordingParser::For(const char* name) const {
  return IsContainerRecordingName(name) ? container_ : vex_;
}

int CRecordingParser::Open(const char* name, RecordingInfo* info) {
  VMediaParser* next = For(name);
  // The reader of the recording before lets its source go.
  if (next != Active()) Active()->Close();
  active_.store(next, std::memory_order_release);
  return next->Open(name, info);
}

bool CRecordingParser::OpenIndexed(const char* name, RecordingInfo* info) {
  VMediaParser* next = For(name);
  if (next != Active()) Active()->Close();
  active_.store(next, std::memory_order_release);
  return next->OpenIndexed(name, info);
}
