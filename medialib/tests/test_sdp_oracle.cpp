/*
 * test_sdp_oracle.cpp - the parser against two public SDP parsers (sofia-sip's
 * sdp_parse, GStreamer's gst_sdp_message_parse_buffer), linked into this test
 * only: on every corpus file we parse without a failed line, and on the text
 * we generate from it, the three agree on each description's port, format
 * order, rtpmap names and clocks, connection, direction and ptime, and on the
 * origin's session id and version.
 */
#include <gst/sdp/sdp.h>
#include <sofia-sip/sdp.h>
#include <sofia-sip/su_alloc.h>

#include <array>
#include <memory>

#include "sdp_parse_internal.h"
#include "support/sdp_test.h"

namespace {

/* What an oracle reads from one m= line, in the terms of our record. */
struct Media {
  unsigned port = 0;
  std::vector<u32> formats;
  std::vector<std::tuple<u32, std::string, unsigned>> rtpmaps; /* pt, name, clock */
  std::string address;
  u32 direction = VQX_MEDIA_DIR_SEND_RECV;
  unsigned ptime = 0;
};
/* A format that is a number (t38 is not). */
void Number(const char* psz, std::vector<u32>* pv) {
  char* end;
  const unsigned long v = std::strtoul(psz, &end, 10);
  if (*end == '\0') pv->push_back(u32(v));
}
struct Seen {
  u64 id = 0, version = 0;
  std::vector<Media> media;
};

u32 Direction(const std::string& s) {
  return s == "sendonly" ? VQX_MEDIA_DIR_SEND_ONLY : s == "recvonly" ? VQX_MEDIA_DIR_RECV_ONLY : s == "inactive" ? 5 : 0;
}

bool Sofia(const std::string& text, Seen* pOut) {
  su_home_t* home = static_cast<su_home_t*>(su_home_new(sizeof(su_home_t)));
  sdp_parser_t* p = sdp_parse(home, text.data(), text.size(), sdp_f_anynet | sdp_f_c_missing);
  const sdp_session_t* s = sdp_session(p);
  if (s != nullptr && s->sdp_origin != nullptr) {
    pOut->id = s->sdp_origin->o_id;
    pOut->version = s->sdp_origin->o_version;
    for (const sdp_media_t* m = s->sdp_media; m != nullptr; m = m->m_next) {
      Media x;
      x.port = unsigned(m->m_port);
      for (const sdp_rtpmap_t* rm = m->m_rtpmaps; rm != nullptr; rm = rm->rm_next) {
        x.formats.push_back(rm->rm_pt);
        if (!rm->rm_predef) x.rtpmaps.emplace_back(rm->rm_pt, rm->rm_encoding, unsigned(rm->rm_rate));
      }
      /* A profile it does not take for RTP (UDP/TLS/RTP/SAVPF) keeps its formats as text. */
      for (const sdp_list_t* l = m->m_rtpmaps == nullptr ? m->m_format : nullptr; l != nullptr; l = l->l_next)
        Number(l->l_text, &x.formats);
      /* Every c= line of a block is kept; the description's is the last. */
      const sdp_connection_t* c = m->m_connections != nullptr ? m->m_connections : s->sdp_connection;
      while (m->m_connections != nullptr && c->c_next != nullptr) c = c->c_next;
      x.address = c != nullptr && c->c_address != nullptr ? c->c_address : "";
      x.direction = std::array<u32, 4>{5, VQX_MEDIA_DIR_SEND_ONLY, VQX_MEDIA_DIR_RECV_ONLY, 3}[m->m_mode & 3];
      const sdp_attribute_t* a = sdp_attribute_find(m->m_attributes, "ptime");
      x.ptime = a != nullptr && a->a_value != nullptr ? unsigned(atoi(a->a_value)) : 0;
      pOut->media.push_back(x);
    }
  }
  sdp_parser_free(p);
  su_home_unref(home);
  return s != nullptr;
}

bool Gst(const std::string& text, Seen* pOut) {
  GstSDPMessage* msg = nullptr;
  gst_sdp_message_new(&msg);
  const bool fOk = gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(text.data()), text.size(), msg) == GST_SDP_OK;
  const GstSDPOrigin* o = gst_sdp_message_get_origin(msg);
  pOut->id = o->sess_id != nullptr ? std::strtoull(o->sess_id, nullptr, 10) : 0;
  pOut->version = o->sess_version != nullptr ? std::strtoull(o->sess_version, nullptr, 10) : 0;
  u32 sessionDir = VQX_MEDIA_DIR_SEND_RECV;
  for (guint i = 0; i < gst_sdp_message_attributes_len(msg); ++i)
    if (u32 d = Direction(gst_sdp_message_get_attribute(msg, i)->key)) sessionDir = d;
  for (guint i = 0; i < gst_sdp_message_medias_len(msg); ++i) {
    const GstSDPMedia* m = gst_sdp_message_get_media(msg, i);
    Media x;
    x.port = gst_sdp_media_get_port(m);
    for (guint k = 0; k < gst_sdp_media_formats_len(m); ++k) Number(gst_sdp_media_get_format(m, k), &x.formats);
    x.direction = sessionDir;
    for (guint k = 0; k < gst_sdp_media_attributes_len(m); ++k) {
      const GstSDPAttribute* a = gst_sdp_media_get_attribute(m, k);
      if (u32 d = Direction(a->key)) x.direction = d;
      if (std::string(a->key) == "ptime" && a->value != nullptr) x.ptime = unsigned(atoi(a->value));
      unsigned pt, clock = 0;
      char name[64];
      if (std::string(a->key) == "rtpmap" && a->value != nullptr && sscanf(a->value, "%u %63[^/]/%u", &pt, name, &clock) >= 2)
        x.rtpmaps.emplace_back(pt, name, clock);
    }
    const guint nConn = gst_sdp_media_connections_len(m);
    const GstSDPConnection* c = nConn != 0 ? gst_sdp_media_get_connection(m, nConn - 1) : gst_sdp_message_get_connection(msg);
    x.address = c != nullptr && c->address != nullptr ? c->address : "";
    pOut->media.push_back(x);
  }
  gst_sdp_message_free(msg);
  return fOk;
}

/* Our record against what one oracle saw. */
void Agree(const std::string& who, const std::string& name, const std::string& text, const _VQX_SDP_INFO& r,
           const Seen& seen) {
  const std::string where = who + " on " + name;
  EXPECT_EQ(std::make_pair(seen.id, seen.version), std::make_pair(r.un64SessionId, r.un64SessionVersion)) << where;
  ASSERT_EQ(seen.media.size(), r.aCapGroups[0].un8NbSimultaneousCap) << where;
  for (size_t i = 0; i < seen.media.size(); ++i) {
    const Media& m = seen.media[i];
    const _VQX_SIMULTANEOUS_CAP& d = r.aCapGroups[0].aSimultaneousCap[i];
    const std::string at = where + " m= line " + std::to_string(i);
    EXPECT_EQ(m.port, d.un16Port) << at;
    std::vector<u32> ours;
    for (u32 k = 0; k < d.un8NbChoices; ++k) {
      const _VQX_MEDIA_CAP& c = r.aMediaCap[d.aMediaCapChoices[k].un8CapIdx];
      if (c.Transport.Type == VQX_MEDIA_TRANSPORT_RTP) ours.push_back(c.Transport.Rtp.un32PayloadType);
      /* sofia-sip takes a rejected stream (port 0) as inactive. */
      EXPECT_TRUE(k != 0 || (m.port == 0 && who == "sofia-sip") || m.direction == c.Direction) << at << m.direction;
      EXPECT_TRUE(c.Transport.Type != 1 || m.ptime == 0 || m.ptime == c.Transport.Rtp.un16PacketTimeMs) << at << m.ptime;
      for (const auto& [pt, rtpname, clock] : m.rtpmaps) {
        if (c.Transport.Type != VQX_MEDIA_TRANSPORT_RTP || c.Transport.Rtp.un32PayloadType != pt) continue;
        u32 param;
        const u32 t = VqxMediaStringToType(rtpname, &param);
        const std::string kept = "a=rtpmap:" + std::to_string(pt) + " " + rtpname + "/" + std::to_string(clock);
        /* A dynamic number gets the name's type, or keeps its rtpmap line when the name is unknown. */
        EXPECT_TRUE(pt < 96 || (t == VQX_MEDIA_TYPE_INVALID ? std::string(c.Encoding.szNotParsed).find(kept) == 0
                                                            : t == c.Encoding.MediaType)) << at << " " << kept;
        EXPECT_TRUE(t != VQX_MEDIA_TYPE_TELEPHONE_EVENT || clock == c.Encoding.Events.un16ClockRate) << at;
      }
    }
    EXPECT_EQ(m.formats, ours) << at;
    const _VQX_SDP_CONNECTION& conn = r.aConnections[d.un8ConnectionIdx];
    const std::string addr = conn.un8AddressType == 0 ? std::string(conn.szAddress)
                             : text.substr(std::strtoul(conn.szAddress + 8, nullptr, 10), m.address.size());
    EXPECT_EQ(m.address, addr) << at;
  }
}

TEST(SdpOracle, SofiaAndGstreamerAgreeOnCorpusAndGeneratedText) {
  gst_init(nullptr, nullptr);
  int nCompared = 0;
  for (const SdpFile& f : SdpCorpus()) {
    VQX_RESULT res;
    const VqxRecord r = ParseSdp(f.text, &res);
    if (res != VQX_RESULT_OK) continue;
    std::vector<std::pair<std::string, std::string>> texts = {{f.name, f.text}};
    const std::string gen = GenerateSdp(*r, 0, &res);
    if (res == VQX_RESULT_OK) texts.emplace_back(f.name + " (generated)", gen);
    for (const auto& [name, text] : texts) {
      Seen a, b;
      ASSERT_TRUE(Sofia(text, &a) && Gst(text, &b)) << name;
      Agree("sofia-sip", name, text, *ParseSdp(text), a);
      Agree("GstSDP", name, text, *ParseSdp(text), b);
      ++nCompared;
    }
  }
  EXPECT_GE(nCompared, 25);
}

}  // namespace
