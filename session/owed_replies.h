// COwedReplies: the record of the replies owed, oldest first.
//
// Every command that goes to the server is recorded with who is owed its
// reply; replies the plug-in gives itself wait in the same record, in their
// places, so that the client reads its answers in the order it asked. Each
// complete server reply answers the oldest record (AnswerNext).
//
// A value: no I/O, no trace. The counts are kept as entries come and go, so
// the questions the relay asks at every read (may the server take a command?
// must the client wait?) cost nothing. The session owns one and touches it
// from its handlers only; the keep-alive's NOOPs are folded in afterwards.
#ifndef DIVIVEZ_SESSION_OWED_REPLIES_H_
#define DIVIVEZ_SESSION_OWED_REPLIES_H_

#include <cstddef>
#include <cstdint>
#include <deque>

// Who is owed the reply to a command that went to the server, or a reply the
// plug-in gives itself.
enum class EOwed : uint8_t {
  kClient,      // a client command: its reply is relayed byte for byte
  kClientEhlo,  // the client's EHLO: relayed without the extensions we withhold
  kClientData,  // the client's DATA relayed unscanned: a 354 starts pass-through
  kNoop,        // our keep-alive NOOP: swallowed
  kData,        // our DATA for a scanned message: 354 starts delivery
  kRset,        // our RSET after a message that did not go to the server: swallowed
  kLocal,       // a reply of our own (text): sent once no client reply is owed before it
  kUnasked,     // a server reply that answers nothing: client and server are out of step
};

// Whether the reply goes to the client (its own commands' replies).
bool IsClientKind(EOwed kind);

struct COwed {
  EOwed m_eKind;
  const char* m_pText;  // kLocal only: a static NUL-terminated reply
  bool m_bEndsGroup;    // nothing may follow the command before its reply (RFC 2920)
};

class COwedReplies {
 public:
  typedef std::deque<COwed>::const_iterator ConstIterator;

  // A command went to the server: its reply will come.
  void Expect(EOwed kind, bool endsGroup);
  // A reply of our own, after those owed before it.
  void QueueLocal(const char* text);
  // What the server's next reply answers, taken out of the record; kUnasked
  // when nothing is owed.
  EOwed AnswerNext();
  // Takes out, in order, the replies of our own that may go now: those before
  // the first reply owed the client. Our own commands' replies do not hold
  // them back, since they are swallowed whenever they come. send(text) is
  // called after each is taken out, so one that throws is not sent twice.
  template <typename Send>
  void FlushLocal(Send send);
  // The server is given up: the client's replies still owed become the
  // local reply lostReply, in their places; our own commands' are forgotten.
  void ForgetServer(const char* lostReply);

  size_t Size() const { return m_entries.size(); }
  bool Empty() const { return m_entries.empty(); }
  const COwed& Front() const { return m_entries.front(); }
  ConstIterator begin() const { return m_entries.begin(); }
  ConstIterator end() const { return m_entries.end(); }

  size_t Client() const { return m_nClient; }        // entries owed the client by the server
  size_t Noops() const { return m_nNoops; }          // kNoop entries
  size_t Local() const { return m_nLocal; }          // kLocal entries
  size_t Server() const { return m_nServer; }        // entries the server will answer
  size_t GroupEnds() const { return m_nGroupEnds; }  // ... of which end a command group

 private:
  std::deque<COwed> m_entries;
  size_t m_nClient = 0;
  size_t m_nNoops = 0;
  size_t m_nLocal = 0;
  size_t m_nServer = 0;
  size_t m_nGroupEnds = 0;
};

template <typename Send>
void COwedReplies::FlushLocal(Send send) {
  for (std::deque<COwed>::iterator it = m_entries.begin(); it != m_entries.end();) {
    if (it->m_eKind == EOwed::kLocal) {
      const char* text = it->m_pText;
      it = m_entries.erase(it);
      --m_nLocal;
      send(text);
      continue;
    }
    if (IsClientKind(it->m_eKind)) break;
    ++it;
  }
}

#endif  // DIVIVEZ_SESSION_OWED_REPLIES_H_
