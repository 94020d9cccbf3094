#include <array>
#include <cstring>

#include "exec/exec.h"
#include "probes/probes_internal.h"
#include "settings/settings.h"

namespace {

// Matches `pattern` at the start of `text` as scanf would: a blank in the
// pattern matches any run of white space, including none. Returns the rest
// of `text`, or null.
const char* match_literal(const char* text, const char* pattern) {
  for (; *pattern; ++pattern) {
    if (*pattern == ' ') {
      while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    } else if (*text++ != *pattern) {
      return nullptr;
    }
  }
  return text;
}

int scan_after(const char* text, const char* pattern, std::uint64_t& number) {
  const char* rest = match_literal(text, pattern);
  return rest && scan_unsigned(rest, UINT64_MAX, number) ? 0 : -1;
}

void note_tunnel(char digit, int status, int read, std::uint64_t rx_bytes) {
  if (!probe_evidence) return;
  probe_evidence->tunnels[static_cast<std::size_t>(digit - '0')] = {true, status, read, rx_bytes};
}

void note_ipsec(IpsecTool tool, int status, int read, std::uint64_t associations) {
  if (!probe_evidence) return;
  probe_evidence->ipsec_tool = tool;
  probe_evidence->ipsec_status = status;
  probe_evidence->ipsec_read = read;
  probe_evidence->associations = associations;
}

}  // namespace

int parse_rx_bytes(const char* text, std::uint64_t& bytes) {
  return scan_after(text, "RX bytes:", bytes);
}

int parse_security_associations(const char* line, std::uint64_t& count) {
  return scan_after(line, "Security Associations (", count);
}

int probe_openvpn() {
  char command[] = "ifconfig tun? | grep -o 'RX bytes:[0-9]*'";
  char* unit = std::strchr(command, '?');
  for (char digit = '0'; digit <= '3'; ++digit) {
    *unit = digit;
    const int status = capture_command(probe_paths->openvpn_capture, command);
    note_tunnel(digit, status, -1, 0);
    if (status != 0) continue;
    std::array<char, 256> text{};
    std::uint64_t bytes = 0;
    if (!capture_written() ||
        read_capture(probe_paths->openvpn_capture, text.data(), text.size()) < 0 ||
        parse_rx_bytes(text.data(), bytes) != 0) {
      return -1;
    }
    note_tunnel(digit, status, 0, bytes);
    if (bytes != 0) return 1;
  }
  return 0;
}

int probe_ipsec_stroke() {
  // grep fails when no line matched: nothing is up.
  const int status = capture_command(probe_paths->ipsec_capture, probe_paths->stroke_command);
  note_ipsec(IpsecTool::Stroke, status, -1, 0);
  if (status != 0) return 0;
  std::array<char, 256> line{};
  std::uint64_t count = 0;
  if (!capture_written() ||
      read_capture(probe_paths->ipsec_capture, line.data(), line.size()) <= 0) {
    return -1;
  }
  if (char* end = std::strchr(line.data(), '\n')) *end = '\0';
  if (parse_security_associations(line.data(), count) != 0) return -1;
  note_ipsec(IpsecTool::Stroke, status, 0, count);
  return count != 0 ? 1 : 0;
}

int probe_ipsec() {
  if (file_exists(probe_paths->stroke)) return probe_ipsec_stroke();
  if (file_exists(probe_paths->swanctl)) {
    const int status =
        run_probe_command(probe_paths->swanctl_capture, probe_paths->swanctl_command);
    note_ipsec(IpsecTool::Swanctl, status, -1, 0);
    return status == 0 ? 1 : 0;
  }
  note_ipsec(IpsecTool::None, -1, -1, 0);
  return -1;
}

int probe_remote_management() {
  const char* command = "netstat -pnat | grep \"ESTABLISHED.*tessik_clientd\"";
  return run_probe_command(probe_paths->remote_capture, command) == 0 ? 1 : 0;
}

int probe_vpn_portal() {
  capture_command(probe_paths->portal_capture, "netstat -tlpn | grep drennic");
  return capture_written() && file_size(probe_paths->portal_capture) > 1 ? 1 : 0;
}
