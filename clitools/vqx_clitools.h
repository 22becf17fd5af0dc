/*
 * vqx_clitools.h - the console tools' reader of the line-oriented
 * configuration file (docs/console-config-file.md).
 *
 * Model. A caller reads the file line by line and hands each line, stripped
 * of surrounding white space, to VqxCliToolsAnyConfigParseLine together with
 * two records it keeps for the whole file: the network record (the ".NETWORK"
 * section, parsed here into fields) and the console/log record (the current
 * section, and the lines of ".CLI_CONFIG" and ".LOG_FILE_CONFIG" kept
 * verbatim, in order, for the console shell that owns their keys). Both
 * records start zeroed. VqxCliToolsNetworkConfigCopyToVqxLibParams then puts
 * the network section into host-library parameters.
 *
 * Threads: none; plain functions over caller-owned records.
 */
#ifndef VQX_CLITOOLS_H
#define VQX_CLITOOLS_H

#include "vqx_host.h"
#include "vqx_types.h"

#define VQX_CLI_TOOLS_MAX_EXTRA_GW_PORTS 16u
#define VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR 16u
#define VQX_CLI_TOOLS_ERROR_TEXT_SIZE 256u  /* room the caller gives for the error text */
#define VQX_CLI_TOOLS_MAX_LINE 1022u        /* longest line of the file, in characters */
#define VQX_CLI_TOOLS_SECTION_LINE_SIZE 256u
#define VQX_CLI_TOOLS_MAX_CLI_LINES 64u
#define VQX_CLI_TOOLS_MAX_LOG_LINES 32u

/* Defaults put in by the copy when the section gave no poll delay. */
#define VQX_CLI_TOOLS_DEFAULT_POLL_DELAY_MS 2000u
#define VQX_CLI_TOOLS_DEFAULT_NETWORK_DOWN_DELAY_MS 4500u
#define VQX_CLI_TOOLS_DEFAULT_ADAPTER_DOWN_DELAY_MS 10000u

/* The ".NETWORK" section. Texts always terminated; zero means "not given". */
typedef struct _VQX_CLI_TOOLS_NETWORK_CONFIG {
  char szApplicationName[128];
  char szGwAddress0[64];
  char szGwAddress1[64];
  u16 un16GwPort;                                            /* first VQX_GW_PORT line */
  u16 aun16ExtraGwPorts[VQX_CLI_TOOLS_MAX_EXTRA_GW_PORTS];   /* later VQX_GW_PORT lines */
  u32 un32NbExtraGwPorts;
  u32 un32NbExtraGwAddr;
  _VQX_EXTRA_GW_ADDR aExtraGwAddr[VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR]; /* VQX_GW_REMOTE_ADDR groups */
  u32 un32PollDelayMs;
  u32 un32NetworkDownDelayMs;
  u32 un32AdapterDownDelayMs;
  i32 FlowControlMode;
} _VQX_CLI_TOOLS_NETWORK_CONFIG;

/* Sections, as the console/log record names the current one. */
typedef enum _VQX_CLI_TOOLS_SECTION {
  VQX_CLI_TOOLS_SECTION_NONE = 0,
  VQX_CLI_TOOLS_SECTION_NETWORK = 1,
  VQX_CLI_TOOLS_SECTION_CLI = 2,
  VQX_CLI_TOOLS_SECTION_LOG = 3,
} _VQX_CLI_TOOLS_SECTION;

/* The current section and the console and log-file sections' lines, verbatim. */
typedef struct _VQX_CLI_TOOLS_ANY_CONFIG {
  u32 un32Section; /* _VQX_CLI_TOOLS_SECTION */
  u32 un32NbCliLines;
  char aszCliLines[VQX_CLI_TOOLS_MAX_CLI_LINES][VQX_CLI_TOOLS_SECTION_LINE_SIZE];
  u32 un32NbLogLines;
  char aszLogLines[VQX_CLI_TOOLS_MAX_LOG_LINES][VQX_CLI_TOOLS_SECTION_LINE_SIZE];
} _VQX_CLI_TOOLS_ANY_CONFIG;

/*
 * Parses one stripped line (no leading or trailing white space) into the
 * records. Empty lines and comments ('#' or ';' first) are skipped anywhere.
 * On a bad line writes a one-line reason into pszError (at least
 * VQX_CLI_TOOLS_ERROR_TEXT_SIZE bytes; always terminated) and returns
 * 0x8200000E; the records keep what earlier lines set. 0x82000009 for a null
 * argument. 0x02000000 otherwise, pszError left as it was.
 */
VQX_RESULT VqxCliToolsAnyConfigParseLine(const char* pszLine, _VQX_CLI_TOOLS_NETWORK_CONFIG* pNetwork,
                                         _VQX_CLI_TOOLS_ANY_CONFIG* pAny, char* pszError);

/*
 * Copies the network section into host-library parameters: application name,
 * gateway port and further ports, both addresses, the extra gateway addresses
 * (paExtraGwAddr points into pNetwork, which must outlive pParams' use), and a
 * redundancy record (valid, both paths, gw0 preferred, the section's delays
 * and flow-control word). First fills pNetwork's own defaults: an application
 * name "UnnamedApp_0x%08X" (process id) when empty, delays 2000 / 4500 /
 * 10000 ms when the poll delay is 0. 0x82000009 for a null argument, else
 * 0x02000000.
 */
VQX_RESULT VqxCliToolsNetworkConfigCopyToVqxLibParams(_VQX_CLI_TOOLS_NETWORK_CONFIG* pNetwork,
                                                      _VQX_LIB_PARAMS* pParams);

#endif
