/*
 * host_params.h - open parameters of a host library that talks to its peers
 * on 127.0.0.1 only: the hosts' instance alone on its own port, the peers'
 * ports as extra gateway addresses. Header only, for the tests of the
 * libraries that open a host library against stand-ins or other hosts.
 */
#ifndef TESTING_PEERS_HOST_PARAMS_H
#define TESTING_PEERS_HOST_PARAMS_H

#include <cstdio>
#include <vector>

#include "vqx_host.h"

namespace hostpeer {

/* The hosts' instance only, on un16Port, named pszApp; the peers' ports as extra addresses on 127.0.0.1,
 * kept in *pAddr (which must outlive the open). */
inline _VQX_LIB_PARAMS HostOnlyParams(u16 un16Port, const char* pszApp, const std::vector<u16>& peers,
                                      std::vector<_VQX_EXTRA_GW_ADDR>* pAddr) {
  _VQX_LIB_PARAMS p{};
  p.un32StructVersion = 1;
  p.un32TransportType = 1;
  p.fAdaptersGwOff = 1;
  p.fHostsGwOn = 1;
  p.un16GwPort = un16Port;
  snprintf(p.szApplicationName, sizeof(p.szApplicationName), "%s", pszApp);
  pAddr->assign(peers.size(), _VQX_EXTRA_GW_ADDR{});
  for (size_t i = 0; i < peers.size(); i++) {
    snprintf((*pAddr)[i].szIpAddress0, sizeof((*pAddr)[i].szIpAddress0), "127.0.0.1");
    (*pAddr)[i].un16Port = peers[i];
  }
  p.un32NbExtraGwAddr = static_cast<u32>(pAddr->size());
  p.paExtraGwAddr = pAddr->data();
  return p;
}

}  // namespace hostpeer

#endif
