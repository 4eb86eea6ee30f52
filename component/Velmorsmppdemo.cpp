// The component: construction, connection life cycle, sending, and the
// framing and dispatch of received octets.
#include "component/Velmorsmppdemo.h"

#include <algorithm>

#include "component/Internal.h"

namespace velmor {
namespace {

// Most octets taken from the socket per read notification. What is left stays
// in the kernel and is notified again, so the receive buffer never holds more
// than one incomplete PDU plus one read.
constexpr std::size_t kReadChunk = 64 * 1024;
// A receive buffer grown past this by a large PDU is released once it empties,
// so an idle session holds little memory.
constexpr std::size_t kKeepBuffer = 16 * 1024;

}  // namespace

TVelmorSMPPDemo::TVelmorSMPPDemo(TComponent* aowner, TEventLoop& Loop)
    : TComponent(aowner), FLoop(Loop), FCliSock(new TClientSocket(this, Loop)), FRx(MaxPDULength) {
  FCliSock->SetActive(false);
  FCliSock->SetClientType(TClientType::ctNonBlocking);
  FCliSock->OnConnect = [this](TObject* s, TCustomWinSocket* k) { CliSockConnect(s, k); };
  FCliSock->OnRead = [this](TObject* s, TCustomWinSocket* k) { CliSockRead(s, k); };
  FCliSock->OnDisconnect = [this](TObject* s, TCustomWinSocket* k) { CliSockDisconnect(s, k); };
  FCliSock->OnError = [this](TObject* s, TCustomWinSocket* k, TErrorEvent e, int& c) { CliSockError(s, k, e, c); };
  FCliSock->OnConnecting = [this](TObject* s, TCustomWinSocket* k) { CliSockConnecting(s, k); };
}

// The socket is owned, and destroyed, through TComponent; once it is gone no
// notification can reach this object. Calls into handlers still on the stack
// learn of the destruction through their frames.
TVelmorSMPPDemo::~TVelmorSMPPDemo() {
  for (LiveFrame* f = FFrames; f; f = f->outer) f->destroyed = true;
}

// The frame stores its own address in the component and unlinks it again in
// its destructor; GCC cannot see that pairing once the two are inlined and
// warns of a dangling pointer. Inline: a framing pass opens one per read.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
inline TVelmorSMPPDemo::LiveFrame::LiveFrame(TVelmorSMPPDemo& c) : owner(c), outer(c.FFrames) { c.FFrames = this; }
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

inline TVelmorSMPPDemo::LiveFrame::~LiveFrame() {
  if (!destroyed) owner.FFrames = outer;
}

// ---- connection ----------------------------------------------------------------

void TVelmorSMPPDemo::Connect(const AnsiString& Host, Integer Port) {
  DiscardReceived();
  FCliSock->SetHost(Host);
  FCliSock->SetPort(Port);
  FCliSock->Open();
}

void TVelmorSMPPDemo::Disconnect() {
  DiscardReceived();
  FCliSock->Close();
}

Boolean TVelmorSMPPDemo::Connected() { return FCliSock->Socket()->Connected(); }

void TVelmorSMPPDemo::SetSendQueueLimit(std::size_t Octets) { FCliSock->Socket()->SetSendQueueLimit(Octets); }

std::size_t TVelmorSMPPDemo::SendQueueLimit() { return FCliSock->Socket()->SendQueueLimit(); }

void TVelmorSMPPDemo::SetTLS(const TTLSOptions& Options) { FCliSock->SetTLS(Options); }

void TVelmorSMPPDemo::CliSockConnect(TObject*, TCustomWinSocket*) { Fire(OnConnect); }

void TVelmorSMPPDemo::CliSockDisconnect(TObject*, TCustomWinSocket*) {
  DiscardReceived();
  Fire(OnDisconnect);
}

void TVelmorSMPPDemo::CliSockConnecting(TObject*, TCustomWinSocket*) { Fire(OnConnecting); }

// The code is handed back as 0 (handled), and reported as the socket gave it.
void TVelmorSMPPDemo::CliSockError(TObject*, TCustomWinSocket*, TErrorEvent, int& ErrorCode) {
  const Integer code = ErrorCode;
  ErrorCode = 0;
  Fire(OnSockError, code);
}

// ---- sending -----------------------------------------------------------------------

bool TVelmorSMPPDemo::CliSockSend(std::string_view pdu) {
  if (TraceSent) TraceSent(pdu);
  return FCliSock->Socket()->SendBuf(pdu.data(), static_cast<int>(pdu.size())) >= 0;
}

void TVelmorSMPPDemo::BeginRequest(AnsiString& pdu, Cardinal command_id, Cardinal command_status,
                                   Cardinal& sequence_number, std::size_t body_hint) {
  Fsequence_number = codec::next_sequence(Fsequence_number);
  sequence_number = Fsequence_number;
  codec::begin_pdu(pdu, command_id, command_status, sequence_number, body_hint);
}

void TVelmorSMPPDemo::FormatPDU(AnsiString& pdu, Cardinal command_id, Cardinal command_status,
                                Cardinal& sequence_number, std::string_view mandatory, std::string_view optional) {
  BeginRequest(pdu, command_id, command_status, sequence_number, mandatory.size() + optional.size());
  pdu.append(mandatory);
  pdu.append(optional);
  codec::end_pdu(pdu);
}

void TVelmorSMPPDemo::FormatPDU_RESP(AnsiString& pdu, Cardinal command_id, Cardinal command_status,
                                     Cardinal sequence_number, std::string_view mandatory, std::string_view optional) {
  codec::begin_pdu(pdu, command_id, command_status, codec::response_sequence(sequence_number),
                   mandatory.size() + optional.size());
  pdu.append(mandatory);
  pdu.append(optional);
  codec::end_pdu(pdu);
}

// ---- receiving ---------------------------------------------------------------------

// Called by Connect, Disconnect and the socket's disconnect notification.
// While a block is being framed (the call comes from a handler) its whole
// PDUs are still dispatched and only the incomplete tail is dropped, when the
// pass ends; otherwise everything buffered goes at once.
void TVelmorSMPPDemo::DiscardReceived() {
  ++FGeneration;
  if (FFraming)
    FDropTail = true;
  else
    FRx.clear();
}

void TVelmorSMPPDemo::CliSockRead(TObject*, TCustomWinSocket* Socket) {
  const int ready = Socket->ReceiveBuf(nullptr, -1);
  if (ready <= 0) return;
  const std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(ready), kReadChunk);
  char* into = FRx.prepare(want);
  const int got = Socket->ReceiveBuf(into, static_cast<int>(want));
  if (got <= 0) return;
  FRx.commit(static_cast<std::size_t>(got));
  Division_of_packages({});
}

// A block of one read's size is framed straight from the caller's octets
// (Division_of_packages); a larger one goes block by block, and stops once a
// handler ends the stream.
void TVelmorSMPPDemo::ReceiveOctets(std::string_view octets) {
  if (octets.size() <= kReadChunk) return Division_of_packages(octets);
  LiveFrame frame(*this);
  const unsigned gen = FGeneration;
  while (!octets.empty()) {
    const std::size_t n = std::min(octets.size(), kReadChunk);
    Division_of_packages(octets.substr(0, n));
    octets.remove_prefix(n);
    if (!frame.alive() || FGeneration != gen) return;  // the stream ended under a handler
  }
}

// One framing pass: marks the component as framing and, however the pass
// ends (a handler that throws included), clears the mark, keeps the octets of
// `rest` not yet framed (in front of any a handler fed meanwhile), drops a
// tail that Connect or Disconnect condemned, and releases a grown buffer.
// Touches nothing once the component is destroyed.
struct TVelmorSMPPDemo::FramingPass {
  TVelmorSMPPDemo& c;
  const LiveFrame& frame;
  const std::string_view& rest;
  FramingPass(TVelmorSMPPDemo& owner, const LiveFrame& f, const std::string_view& r) : c(owner), frame(f), rest(r) {
    c.FFraming = true;
  }
  ~FramingPass() {
    if (!frame.alive()) return;
    c.FFraming = false;
    if (!rest.empty()) c.FRx.feed_front(rest);
    if (c.FDropTail) {
      c.FDropTail = false;
      c.FRx.clear();
    }
    c.FRx.shrink_if_empty(kKeepBuffer);
  }
  FramingPass(const FramingPass&) = delete;
  FramingPass& operator=(const FramingPass&) = delete;
};

// Cuts whole PDUs off the front of the received octets (those buffered, then
// `in`) and dispatches each. An incomplete PDU stays until the octets that
// complete it arrive.
//
// While nothing is buffered, PDUs are framed straight from `in`, without
// copying them into the buffer first; only an incomplete tail is kept. Octets
// that a handler feeds meanwhile (a nested read or ReceiveOctets) go to the
// buffer, so the rest of `in` is put in front of them there, and framing goes
// on from the buffer in stream order.
void TVelmorSMPPDemo::Division_of_packages(std::string_view in) {
  if (FFraming) {  // a handler ran the loop: the outer pass frames these octets
    if (!in.empty()) FRx.feed(in);
    return;
  }
  if (!in.empty() && FRx.buffered() != 0) {
    FRx.feed(in);
    in = {};
  }
  LiveFrame frame(*this);
  codec::Header bad;
  bool unframeable = false;
  {
    FramingPass pass(*this, frame, in);
    codec::Frame f;
    bool ended = false;  // the front of `in` is incomplete or unframeable
    while (!in.empty()) {
      if (FRx.buffered() != 0) {  // fed by a handler: behind the rest of `in`
        FRx.feed_front(in);
        in = {};
        break;
      }
      f = codec::frame_front(in, FRx.max_length());
      if (f.kind != codec::Frame::Kind::pdu) {
        // Incomplete: the pass keeps the rest of `in`. Unframeable: nothing
        // after it can be framed.
        if (f.kind == codec::Frame::Kind::unframeable) in = {};
        ended = true;
        break;
      }
      in.remove_prefix(f.octets.size());
      Recognition_of_a_package(f.octets);
      if (!frame.alive()) return;  // destroyed by a handler: touch nothing
    }
    if (!ended) {
      for (f = FRx.next(); f.kind == codec::Frame::Kind::pdu; f = FRx.next()) {
        Recognition_of_a_package(f.octets);
        if (!frame.alive()) return;
      }
    }
    // Not reported when the application has already ended the stream.
    if (f.kind == codec::Frame::Kind::unframeable && !FDropTail) {
      codec::Cursor c(f.octets);
      bad = codec::read_header(c);
      unframeable = true;
    }
  }
  if (!unframeable) return;
  // No progress can be made through this stream: report the header once,
  // drop everything buffered and end the connection.
  DiscardReceived();
  FCliSock->Close();
  RecognUnknown_command(bad.command_length, bad.command_id, bad.command_status, bad.sequence_number, {});
}

// X(command, decoder call): the decoder of each command the component
// recognises. Every row must be a command an SMSC may send (checked below
// against the command table); every other command_id, those an SMSC never
// sends included, goes to RecognUnknown_command. The switch this generates is
// a plain jump on command_id, as fast as a hand-written one.
// clang-format off
#define VELMOR_COMPONENT_DECODERS(X)                                           \
  X(bind_transmitter_resp, RecognBIND_RESP(Transmitter, st, seq, body))        \
  X(bind_receiver_resp, RecognBIND_RESP(Receiver, st, seq, body))              \
  X(bind_transceiver_resp, RecognBIND_RESP(Transceiver, st, seq, body))        \
  X(unbind_resp, RecognUNBIND_RESP(st, seq, body))                             \
  X(generic_nack, RecognGENERIC_NACK(st, seq, body))                           \
  X(submit_sm_resp, RecognSUBMIT_SM_RESP(st, seq, body))                       \
  X(submit_multi_resp, RecognSUBMIT_MULTI_RESP(st, seq, body))                 \
  X(deliver_sm, RecognDELIVER_SM(st, seq, body))                               \
  X(data_sm, RecognDATA_SM(st, seq, body))                                     \
  X(data_sm_resp, RecognDATA_SM_RESP(st, seq, body))                           \
  X(query_sm_resp, RecognQUERY_SM_RESP(st, seq, body))                         \
  X(cancel_sm_resp, RecognCANCEL_SM_RESP(st, seq, body))                       \
  X(replace_sm_resp, RecognREPLACE_SM_RESP(st, seq, body))                     \
  X(enquire_link, RecognENQUIRE_LINK(st, seq, body))                           \
  X(enquire_link_resp, RecognENQUIRE_LINK_RESP(st, seq, body))
// clang-format on

#define VELMOR_DECODED_FROM_SMSC(command, call) \
  static_assert(codec::may_send(codec::sender::smsc, command_id::command), #command " is never sent by an SMSC");
VELMOR_COMPONENT_DECODERS(VELMOR_DECODED_FROM_SMSC)
#undef VELMOR_DECODED_FROM_SMSC

void TVelmorSMPPDemo::Recognition_of_a_package(std::string_view pdu) {
  if (TraceReceived) TraceReceived(pdu);
  if (FramedPDU) return FramedPDU(pdu);
  codec::Cursor c(pdu);
  const codec::Header h = codec::read_header(c);
  const std::string_view body = c.rest();
  const Cardinal st = h.command_status, seq = h.sequence_number;
  switch (h.command_id) {
#define VELMOR_DECODER_CASE(command, call) \
  case command_id::command: return call;
    VELMOR_COMPONENT_DECODERS(VELMOR_DECODER_CASE)
#undef VELMOR_DECODER_CASE
    default: return RecognUnknown_command(h.command_length, h.command_id, st, seq, body);
  }
}

// Parameters is the body exactly as received, optional parameters included.
void TVelmorSMPPDemo::RecognUnknown_command(Cardinal command_length, Cardinal command_id, Cardinal command_status,
                                            Cardinal sequence_number, std::string_view body) {
  if (OnUnknown_command.Assigned())
    Fire(OnUnknown_command, command_length, command_id, command_status, sequence_number, body);
}

}  // namespace velmor
