// The record of replies owed: the bookkeeping of each entry's coming and going.
#include "session/owed_replies.h"

bool IsClientKind(EOwed kind) {
  switch (kind) {
    case EOwed::kClient:
    case EOwed::kClientEhlo:
    case EOwed::kClientData:
      return true;
    case EOwed::kNoop:
    case EOwed::kData:
    case EOwed::kRset:
    case EOwed::kLocal:
    case EOwed::kUnasked:
      return false;
  }
  return false;
}

void COwedReplies::Expect(EOwed kind, bool endsGroup) {
  m_entries.push_back(COwed{kind, nullptr, endsGroup});
  if (IsClientKind(kind)) ++m_nClient;
  ++m_nServer;
  if (endsGroup) ++m_nGroupEnds;
  if (kind == EOwed::kNoop) ++m_nNoops;
}

void COwedReplies::QueueLocal(const char* text) {
  m_entries.push_back(COwed{EOwed::kLocal, text, false});
  ++m_nLocal;
}

EOwed COwedReplies::AnswerNext() {
  if (m_entries.empty()) return EOwed::kUnasked;
  const COwed answered = m_entries.front();
  if (answered.m_bEndsGroup) --m_nGroupEnds;
  m_entries.pop_front();
  --m_nServer;
  if (IsClientKind(answered.m_eKind)) --m_nClient;
  if (answered.m_eKind == EOwed::kNoop) --m_nNoops;
  return answered.m_eKind;
}

void COwedReplies::ForgetServer(const char* lostReply) {
  for (std::deque<COwed>::iterator it = m_entries.begin(); it != m_entries.end();) {
    if (IsClientKind(it->m_eKind)) {
      *it = COwed{EOwed::kLocal, lostReply, false};
      --m_nClient;
      ++m_nLocal;
    } else if (it->m_eKind != EOwed::kLocal) {
      it = m_entries.erase(it);
      continue;
    }
    ++it;
  }
  m_nNoops = 0;
  m_nServer = 0;
  m_nGroupEnds = 0;
}
