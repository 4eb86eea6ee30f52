// TVelmorSMPPDemo: an SMPP 3.4 ESME session over one TCP connection.
//
// Every PDU the component can send is one public method; every PDU it
// recognises on receipt is reported through one event (or an OK/Error pair),
// and any other PDU through OnUnknown_command. Request methods return the
// sequence number they put in the header, by which the application pairs the
// response event with its request. The component keeps no protocol state
// beyond that counter: it does not track binds or outstanding requests, and it
// never sends anything on its own (enquire_link, deliver_sm and data_sm are
// answered by the application).
//
// Thread: the component lives on the thread that runs its TEventLoop. Call it
// only from there; events fire only from there, synchronously, in the order
// the PDUs arrived. A handler may call any method, including Disconnect,
// Connect, or deleting the component or its owner. Disconnect or Connect from
// a handler still lets the other whole PDUs of the block being framed reach
// their events; only its incomplete tail is dropped. A handler that throws
// sends the exception out through the loop's run call; the PDUs after the one
// it was handling stay buffered, and the next read or Connect frames normally.
//
// Lifetime of event arguments: every string, aggregate and list an event
// carries is a value made for that call; the component keeps nothing of it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/Framer.h"
#include "codec/Types.h"
#include "component/Events.h"
#include "platform/Classes.h"
#include "platform/EventHandler.h"
#include "platform/EventLoop.h"
#include "platform/ScktComp.h"
#include "tlv/Tlv.h"

namespace velmor {

// The bind type; its value is one octet.
enum TBindType : Byte { Transceiver = 0, Transmitter = 1, Receiver = 2 };

// One destination of submit_multi: an SME address (SME_DL false) or the name
// of a distribution list kept by the SMSC (SME_DL true, ton and npi unused).
struct Tdest_address_entry {
  Byte dest_addr_ton = 0;
  Byte dest_addr_npi = 0;
  AnsiString destination_addr_dl_name;
  Boolean SME_DL = false;
  bool operator==(const Tdest_address_entry&) const = default;
};
using Tdest_address = std::vector<Tdest_address_entry>;

// One destination at which submit_multi failed.
struct Tunsuccess_sme_entry {
  Byte dest_addr_ton = 0;
  Byte dest_addr_npi = 0;
  AnsiString destination_addr;
  Cardinal error_status_code = 0;
  bool operator==(const Tunsuccess_sme_entry&) const = default;
};
using Tunsuccess_sme = std::vector<Tunsuccess_sme_entry>;

// ---- event types -------------------------------------------------------------
// TOnConnect, TOnDisconnect, … TOnUnknown_command: one event type per event,
// T + property name, a std::function of the parameters listed in
// component/Events.h (platform/EventHandler.h: a handler may reassign its
// event or destroy the component while it runs).
#define VELMOR_EVENT_TYPE(name, params) using TOn##name = TEventHandler<void params>;
VELMOR_EVENTS(VELMOR_EVENT_TYPE)
#undef VELMOR_EVENT_TYPE

class TVelmorSMPPDemo : public TComponent {
 public:
  // Largest command_length the framer accepts: room for a full 65535-octet
  // message_payload with every other field at its protocol maximum. A header
  // announcing more (or 0, or a negative count) cannot be framed: once its
  // 16 octets are here it is reported once through OnUnknown_command, the
  // buffered octets are dropped and the connection is closed (OnDisconnect
  // follows). A command_length of 1 to 15 is a short PDU: dispatched once its
  // octets are here, header read as far as they go (codec/Framer.h).
  static constexpr Cardinal MaxPDULength = 256 * 1024;
  // Longest short_message the one-octet sm_length may describe, and the most
  // destinations number_of_dests may count.
  static constexpr std::size_t MaxShortMessage = 254;
  static constexpr std::size_t MaxDestinations = 254;

  // Creates the component with its closed socket on the given loop (the
  // default host loop unless told otherwise). aowner, when not null,
  // destroys the component with itself.
  explicit TVelmorSMPPDemo(TComponent* aowner, TEventLoop& Loop = TEventLoop::Default());
  ~TVelmorSMPPDemo() override;

  // ---- connection ------------------------------------------------------------
  // Starts connecting and returns at once: OnConnecting, then OnConnect or
  // OnSockError. Called while connected or connecting, the current connection
  // is closed first (its OnDisconnect comes before the new OnConnecting) and
  // any partly received PDU is discarded.
  void Connect(const AnsiString& Host, Integer Port);
  // Closes the connection and returns at once; OnDisconnect follows from the
  // loop. Called from a handler, the whole PDUs still waiting in the same
  // received block are dispatched first; only an incomplete tail is dropped.
  void Disconnect();
  Boolean Connected();

  // ---- link level ------------------------------------------------------------
  Cardinal Enquire_LINK();
  void Enquire_LINK_RESP(Cardinal sequence_number);
  Cardinal Unbind();
  // generic_nack takes a fresh sequence number, like a request.
  Cardinal Generic_NACK(Cardinal command_status);

  // ---- bind ------------------------------------------------------------------
  Cardinal Bind(TBindType Bind_Type, const AnsiString& system_id, const AnsiString& password,
                const AnsiString& system_type, Byte addr_ton, Byte addr_npi, const AnsiString& address_range);
  Cardinal Outbind(const AnsiString& system_id, const AnsiString& password);

  // ---- messages ----------------------------------------------------------------
  // Refused (nothing sent, no sequence number spent, result 0) when
  // short_message is longer than 254 octets (longer text belongs in
  // message_payload) or an optional octet-string value is longer than 65535.
  Cardinal Submit_SM(const AnsiString& service_type, Byte source_addr_ton, Byte source_addr_npi,
                     const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                     const AnsiString& destination_addr, Byte esm_class, Byte protocol_id, Byte priority_flag,
                     const AnsiString& schedule_delivery_time, const AnsiString& validity_period,
                     Byte registered_delivery, Byte replace_if_present_flag, Byte data_coding, Byte sm_default_msg_id,
                     const AnsiString& short_message, const TOPSubmit_SM& OPSubmit_SM);

  // Append to a destination list; false (list unchanged) once it holds 254.
  Boolean dest_address_AddSME(Tdest_address& dest_address, Byte dest_addr_ton, Byte dest_addr_npi,
                              const AnsiString& destination_addr);
  Boolean dest_address_AddDL(Tdest_address& dest_address, const AnsiString& dl_name);

  // Refused like Submit_SM, and also for a list of more than 254 entries.
  Cardinal Submit_MULTI(const AnsiString& service_type, Byte source_addr_ton, Byte source_addr_npi,
                        const AnsiString& source_addr, const Tdest_address& dest_address, Byte esm_class,
                        Byte protocol_id, Byte priority_flag, const AnsiString& schedule_delivery_time,
                        const AnsiString& validity_period, Byte registered_delivery, Byte replace_if_present_flag,
                        Byte data_coding, Byte sm_default_msg_id, const AnsiString& short_message,
                        const TOPSubmit_MULTI& OPSubmit_MULTI);

  void Deliver_SM_RESP(Cardinal command_status, Cardinal sequence_number, const AnsiString& message_id);

  // Refused (result 0, nothing sent) when an optional octet-string value is
  // longer than 65535 octets.
  Cardinal Data_SM(const AnsiString& service_type, Byte source_addr_ton, Byte source_addr_npi,
                   const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                   const AnsiString& destination_addr, Byte esm_class, Byte registered_delivery, Byte data_coding,
                   const TOPData_SM& OPData_SM);

  // Sends nothing when an optional octet-string value of OPData_SM_RESP is
  // longer than 65535 octets: its length field could not describe it.
  void Data_SM_RESP(Cardinal command_status, Cardinal sequence_number, const AnsiString& message_id,
                    const TOPData_SM_RESP& OPData_SM_RESP);

  Cardinal Query_SM(const AnsiString& message_id, Byte source_addr_ton, Byte source_addr_npi,
                    const AnsiString& source_addr);

  Cardinal Cancel_SM(const AnsiString& service_type, const AnsiString& message_id, Byte source_addr_ton,
                     Byte source_addr_npi, const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                     const AnsiString& destination_addr);

  // Refused like Submit_SM for a short_message longer than 254 octets.
  Cardinal Replace_SM(const AnsiString& message_id, Byte source_addr_ton, Byte source_addr_npi,
                      const AnsiString& source_addr, const AnsiString& schedule_delivery_time,
                      const AnsiString& validity_period, Byte registered_delivery, Byte sm_default_msg_id,
                      const AnsiString& short_message);

  Cardinal Alert_NOTIFICATION(Byte source_addr_ton, Byte source_addr_npi, const AnsiString& source_addr,
                              Byte esme_addr_ton, Byte esme_addr_npi, const AnsiString& esme_addr);

  // ---- the 26 published events -------------------------------------------------
  // OnConnect, OnDisconnect, … OnUnknown_command, each of type T + its name
  // and empty until assigned (an empty event is skipped). The list, with
  // every parameter, is in component/Events.h.
#define VELMOR_EVENT_MEMBER(name, params) TOn##name On##name;
  VELMOR_EVENTS(VELMOR_EVENT_MEMBER)
#undef VELMOR_EVENT_MEMBER

  // ---- diagnostics (not protocol events) -----------------------------------------
  // Called with every PDU handed to the socket, and with every framed PDU
  // before it is decoded. The view is valid during the call only. For
  // tracing; a trace hook must not call the component.
  std::function<void(std::string_view pdu)> TraceSent;
  std::function<void(std::string_view pdu)> TraceReceived;

  // Bound on octets queued for sending and not yet taken by the kernel. Past
  // it a PDU is dropped whole and OnSockError fires with
  // socket_error::send_queue_full.
  void SetSendQueueLimit(std::size_t Octets);
  std::size_t SendQueueLimit();
  // TLS for the next Connect (platform/Tls.h): OnConnect then fires after
  // the handshake and the check of the SMSC's certificate; a failed
  // handshake is reported through OnSockError with a tls_error code.
  void SetTLS(const TTLSOptions& Options);
  TEventLoop& Loop() { return FLoop; }

 protected:
  // The builders and decoders are internal to the component; they are
  // reachable from subclasses so that tests, benchmarks and fuzzers can drive
  // them without a network.

  // Feeds octets as if they had been read from the socket: they are framed
  // and dispatched exactly like received ones.
  void ReceiveOctets(std::string_view octets);

  void FormatPDU(AnsiString& pdu, Cardinal command_id, Cardinal command_status, Cardinal& sequence_number,
                 std::string_view mandatory, std::string_view optional);
  void FormatPDU_RESP(AnsiString& pdu, Cardinal command_id, Cardinal command_status, Cardinal sequence_number,
                      std::string_view mandatory, std::string_view optional);
  // Starts a request PDU in pdu with the next sequence number (stored in
  // sequence_number); end_pdu patches its command_length.
  void BeginRequest(AnsiString& pdu, Cardinal command_id, Cardinal command_status, Cardinal& sequence_number,
                    std::size_t body_hint);

  void FormatENQUIRE_LINK(AnsiString& pdu, Cardinal& sequence_number);
  void FormatENQUIRE_LINK_RESP(AnsiString& pdu, Cardinal sequence_number);
  void FormatUNBIND(AnsiString& pdu, Cardinal& sequence_number);
  void FormatGENERIC_NACK(AnsiString& pdu, Cardinal& sequence_number, Cardinal command_status);
  void FormatBIND(AnsiString& pdu, Cardinal& sequence_number, TBindType Bind_Type, const AnsiString& system_id,
                  const AnsiString& password, const AnsiString& system_type, Byte interface_version, Byte addr_ton,
                  Byte addr_npi, const AnsiString& address_range);
  void FormatOUTBIND(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& system_id,
                     const AnsiString& password);
  void FormatSUBMIT_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& service_type, Byte source_addr_ton,
                       Byte source_addr_npi, const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                       const AnsiString& destination_addr, Byte esm_class, Byte protocol_id, Byte priority_flag,
                       const AnsiString& schedule_delivery_time, const AnsiString& validity_period,
                       Byte registered_delivery, Byte replace_if_present_flag, Byte data_coding, Byte sm_default_msg_id,
                       const AnsiString& short_message, const TOPSubmit_SM& OPSubmit_SM);
  static AnsiString dest_address_Get(const Tdest_address& dest_address, Byte& number_of_dests);
  void FormatSUBMIT_MULTI(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& service_type,
                          Byte source_addr_ton, Byte source_addr_npi, const AnsiString& source_addr,
                          const Tdest_address& dest_address, Byte esm_class, Byte protocol_id, Byte priority_flag,
                          const AnsiString& schedule_delivery_time, const AnsiString& validity_period,
                          Byte registered_delivery, Byte replace_if_present_flag, Byte data_coding,
                          Byte sm_default_msg_id, const AnsiString& short_message,
                          const TOPSubmit_MULTI& OPSubmit_MULTI);
  void FormatDELIVER_SM_RESP(AnsiString& pdu, Cardinal command_status, Cardinal sequence_number,
                             const AnsiString& message_id);
  void FormatDATA_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& service_type, Byte source_addr_ton,
                     Byte source_addr_npi, const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                     const AnsiString& destination_addr, Byte esm_class, Byte registered_delivery, Byte data_coding,
                     const TOPData_SM& OPData_SM);
  void FormatDATA_SM_RESP(AnsiString& pdu, Cardinal command_status, Cardinal sequence_number,
                          const AnsiString& message_id, const TOPData_SM_RESP& OPData_SM_RESP);
  void FormatQUERY_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& message_id, Byte source_addr_ton,
                      Byte source_addr_npi, const AnsiString& source_addr);
  void FormatCANCEL_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& service_type,
                       const AnsiString& message_id, Byte source_addr_ton, Byte source_addr_npi,
                       const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                       const AnsiString& destination_addr);
  void FormatREPLACE_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& message_id, Byte source_addr_ton,
                        Byte source_addr_npi, const AnsiString& source_addr, const AnsiString& schedule_delivery_time,
                        const AnsiString& validity_period, Byte registered_delivery, Byte sm_default_msg_id,
                        const AnsiString& short_message);
  void FormatALERT_NOTIFICATION(AnsiString& pdu, Cardinal& sequence_number, Byte source_addr_ton, Byte source_addr_npi,
                                const AnsiString& source_addr, Byte esme_addr_ton, Byte esme_addr_npi,
                                const AnsiString& esme_addr);

  // Decoders: command_status, sequence_number and the body after the header.
  void Recognition_of_a_package(std::string_view pdu);
  void RecognBIND_RESP(TBindType Bind_Type, Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognUNBIND_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognGENERIC_NACK(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognENQUIRE_LINK(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognENQUIRE_LINK_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognSUBMIT_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognSUBMIT_MULTI_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  static Tunsuccess_sme unsuccess_sme_Set(Byte no_unsuccess, std::string_view rest);
  void RecognDELIVER_SM(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognDATA_SM(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognDATA_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognQUERY_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognCANCEL_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognREPLACE_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body);
  void RecognUnknown_command(Cardinal command_length, Cardinal command_id, Cardinal command_status,
                             Cardinal sequence_number, std::string_view body);

  // Hands one finished PDU to the socket; false when the socket refused it
  // (not connected, or its send queue is full).
  bool CliSockSend(std::string_view pdu);

  // When set, every framed PDU is handed here, after TraceReceived, instead
  // of being decoded into events: for a layer that reads the octets itself.
  // It may destroy the component; the framing pass then stops.
  std::function<void(std::string_view pdu)> FramedPDU;

  Cardinal Fsequence_number = 0;

 private:
  void CliSockConnect(TObject* Sender, TCustomWinSocket* Socket);
  void CliSockDisconnect(TObject* Sender, TCustomWinSocket* Socket);
  void CliSockConnecting(TObject* Sender, TCustomWinSocket* Socket);
  void CliSockError(TObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);
  void CliSockRead(TObject* Sender, TCustomWinSocket* Socket);
  void Division_of_packages(std::string_view in);
  void DiscardReceived();
  struct FramingPass;
  // Builds a request from a typed body of pdu/ (component/Internal.h).
  template <class Body>
  void FormatRequest(AnsiString& out, Cardinal command_id, Cardinal command_status, Cardinal& sequence_number,
                     const Body& body);

  template <class Event, class... Sources>
  void Fire(Event& event, Sources&&... sources);

  TEventLoop& FLoop;
  TClientSocket* FCliSock;
  AnsiString FOut;  // the PDU being built; its capacity is reused

  // Received octets not yet framed. Holds at most one incomplete PDU plus
  // one read.
  codec::Framer FRx;
  bool FFraming = false;
  // Set when Connect or Disconnect is called from a handler while a block is
  // framed: the rest of its whole PDUs is dispatched, then the tail dropped.
  bool FDropTail = false;
  // Bumped by Connect, Disconnect and an unframeable header: ReceiveOctets
  // feeds no more of its octets once it changes under a handler.
  unsigned FGeneration = 0;
  // Code that calls into the application and goes on afterwards runs the
  // call inside a LiveFrame on the stack; the destructor marks each open
  // frame, so that code learns, without touching the freed object, that it
  // must return at once.
  struct LiveFrame {
    explicit LiveFrame(TVelmorSMPPDemo& c);  // pushes itself on c.FFrames
    ~LiveFrame();                            // pops itself, unless c is gone
    LiveFrame(const LiveFrame&) = delete;
    LiveFrame& operator=(const LiveFrame&) = delete;
    bool alive() const { return !destroyed; }
    TVelmorSMPPDemo& owner;
    LiveFrame* outer;
    bool destroyed = false;
  };
  LiveFrame* FFrames = nullptr;
};

}  // namespace velmor
