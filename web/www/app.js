// The owner's page: what both LEDs show and why, and a chooser per LED.
// Everything the router answers is the attacker's to choose (SSIDs, tool
// output): it goes into the page as text only, never as markup.
'use strict';

const cgi = 'cgi-bin/norvask/';
const refreshMs = 2000;
const timeoutMs = 30000;
const previewDelayMs = 400;

const page = {
  modes: [],        // /modes, once
  chosen: [false, false],  // the owner touched the chooser: refreshes leave it alone
  applying: false,
  timer: 0,
  previewTimer: [0, 0],
};

// A page of another site can show this one in a frame, hidden or disguised,
// and have the owner's clicks land on its choosers and Apply: framed, the
// page only shows, and says why.
const framed = window.self !== window.top;

function $(id) { return document.getElementById(id); }

function text(node, value) { node.textContent = value; }

function item(value) {
  const li = document.createElement('li');
  li.textContent = value;
  return li;
}

// One request to the CGI: its JSON, or {error} in words.
async function ask(route, options) {
  const control = new AbortController();
  const timer = setTimeout(() => control.abort(), timeoutMs);
  try {
    // Never with the sign-in a typed address may hold: fetch refuses such a URL.
    const url = new URL(cgi + route, document.baseURI);
    url.username = '';
    url.password = '';
    const answer = await fetch(url, Object.assign({
      credentials: 'same-origin', cache: 'no-store', signal: control.signal,
    }, options || {}));
    let body = null;
    try {
      body = await answer.json();
    } catch (e) {
      body = null;
    }
    if (!answer.ok) {
      const why = body && typeof body.error === 'string' ? body.error : answer.statusText;
      return { error: 'the router answered ' + answer.status + ': ' + why };
    }
    if (!body || typeof body !== 'object') return { error: 'the router\'s answer is not readable' };
    return body;
  } catch (e) {
    return { error: e.name === 'AbortError' ? 'the router did not answer in time'
      : 'the router cannot be reached' };
  } finally {
    clearTimeout(timer);
  }
}

function plural(n, word) { return n + ' ' + word + (n === 1 ? '' : 's'); }

// The LED's state in the status tool's words.
function stateWords(led) {
  if (led.state === null || led.state === undefined) {
    return led.unknown_because === 'interrupted' ? 'not looked at (interrupted)'
      : 'not known (' + (led.unknown_because || 'no answer') + ')';
  }
  switch (led.state) {
    case 'off': return 'off';
    case 'on': return led.value > 1 ? 'on (value ' + led.value + ')' : 'on';
    case 'blink': return 'on, blinking';
    case 'keep': return 'unknown, the LED keeps its last state';
    default: return String(led.state);
  }
}

// How the front panel draws it.
function lampClass(led) {
  if (!led || led.state === 'keep' || led.state === null || led.state === undefined) return 'unknown';
  return led.state === 'blink' ? 'blink' : led.state === 'on' ? 'on' : 'off';
}

function pinParts(e) {
  if (e.support === 'unsupported') return [e.pin + ': not on this board, reads as 0'];
  if (e.support !== 'supported') return [e.pin + ': its check failed, reads as 0'];
  if (e.value === null) return [e.pin + ': cannot be read (' + e.error + '), reads as 0'];
  return [e.pin + ' reads ' + e.value];
}

function serialParts(e) {
  const words = { 'rx': 'received', 'tx': 'sent', 'rx+tx': 'received or sent' }[e.watches] || e.watches;
  if (e.failed_call) return [e.port + ': ' + e.failed_call + ' failed: ' + e.error + '; the LED keeps its state'];
  return [e.port + ': rx ' + e.rx + ', tx ' + e.tx,
    (e.moved ? '' : 'nothing ') + words + ' in the last second'];
}

// A Wi-Fi key the daemon refused names no interface: its mode's LED stays off.
function refusedParts(key, e) {
  return [key + ' refused: ' + e.refused + '; the LED stays off'];
}

function accessPointParts(e) {
  if (e.refused) return refusedParts('MOD_NORVASK_WIFI_AP', e);
  const parts = [];
  for (const ap of e.access_points || []) {
    if (ap.listing_bytes <= 1) parts.push(ap.iface + ': none');
    else if (ap.listing_cut) parts.push(ap.iface + ': at least ' + plural(ap.stations, 'device') + ' connected (listing cut)');
    else if (ap.stations > 0) parts.push(ap.iface + ': ' + plural(ap.stations, 'device') + ' connected');
    else parts.push(ap.iface + ': listed ' + ap.listing_bytes + ' bytes but no device address, counted as connected');
  }
  for (const ap of e.access_points || []) {
    if (ap.traffic === 'moved') parts.push(ap.iface + ' traffic in the last second');
    if (ap.traffic === 'still') parts.push('no ' + ap.iface + ' traffic in the last second');
    if (ap.traffic === 'unreadable') parts.push(ap.iface + '\'s counters cannot be read');
  }
  return parts;
}

function clientParts(e) {
  if (e.refused) return refusedParts('MOD_NORVASK_WIFI_CLIENT', e);
  if (e.ssid === null) return [e.iface + ': not connected (wpa_cli shows no ssid)'];
  return [e.iface + ': connected to "' + e.ssid + '"',
    e.traffic === 'moved' ? 'traffic in the last second'
      : e.traffic === 'still' ? 'no traffic in the last second'
        : 'its counters cannot be read, so the LED is off'];
}

function tunnelParts(e) {
  const parts = [];
  let last = null;
  for (const t of e.tunnels || []) {
    const story = t.result === 'received' ? 'received ' + t.rx_bytes + ' bytes'
      : t.result === 'unreadable' ? 'its received bytes cannot be read' : t.result;
    // Tunnels in a row with the same story share one part, as in the status tool.
    if (last && last.story === story) last.names.push(t.iface);
    else parts.push(last = { names: [t.iface], story: story });
  }
  return parts.map((p) => p.names.join(', ') + ': ' + p.story);
}

function ipsecParts(e) {
  if (e.tool === 'none') return ['no IPsec tool is installed'];
  if (e.associations_up === null) return [e.tool + '\'s count of security associations cannot be read'];
  return [e.tool + ': ' + (e.listing_cut ? 'at least ' : '') + plural(e.associations_up, 'association') + ' up'];
}

// Whose program holds the socket: any user's may bear the service's name.
function ownerPart(o) {
  if (o.pid === null) return 'whose it is cannot be told: netstat shows no pid';
  if (o.uid === null) return 'whose it is cannot be told: pid ' + o.pid + ' no longer runs a program of that name';
  if (o.user === null) return 'pid ' + o.pid + ' runs as uid ' + o.uid + ', which has no user name';
  return 'pid ' + o.pid + ' runs as user "' + o.user + '" (uid ' + o.uid + ')';
}

function serviceParts(name, up, seen, notSeen, e) {
  if (up) {
    const parts = [name + ' ' + seen + ': ' + (e.netstat_line || '')];
    if (e.owner) parts.push(ownerPart(e.owner));
    return parts;
  }
  const parts = [name + ': ' + notSeen];
  if (e.cut_owner) parts.push('netstat cut its owner column to "' + e.cut_owner + '" (19 characters), so the name cannot match');
  return parts;
}

// What decided, one part per line.
function evidenceParts(led) {
  const e = led.evidence;
  if (led.state === null || led.state === undefined || !e) return [];
  if (led.answered === false) return ['a command did not answer in time and was ended'];
  switch (e.kind) {
    case 'none': return [led.mode === 0 ? 'mode 0: the LED stays off' : 'modes above 17 show nothing'];
    case 'always': return ['mode 17: the LED is always on'];
    case 'pin': return pinParts(e);
    case 'serial': return serialParts(e);
    case 'wifi_ap': return accessPointParts(e);
    case 'wifi_client': return clientParts(e);
    case 'openvpn': return tunnelParts(e);
    case 'ipsec': return ipsecParts(e);
    case 'remote_management': return serviceParts('tessik_clientd', e.connected, 'connected', 'no established connection', e);
    case 'vpn_portal': return serviceParts('drennic', e.listening, 'listening', 'not listening', e);
    default: return [];
  }
}

// Which device the LED is, and what the kernel shows of a kernel LED: a
// trigger other than none drives it, whatever the daemon writes.
function deviceWords(d) {
  if (!d) return '';
  if (d.kind === 'gpio') return 'Device: the board\'s GPIO LED (' + d.path + ')';
  if (d.kind === 'refused') {
    return 'Device: none, the daemon leaves this LED alone: the name "' + d.name +
      '" is refused: ' + d.refused_because;
  }
  let words = 'Device: kernel LED "' + d.name + '"';
  words += d.brightness === null || d.max_brightness === null ? ': its brightness cannot be read'
    : ': brightness ' + d.brightness + ' of ' + d.max_brightness;
  if (d.trigger === null) return words + ', its trigger cannot be read';
  if (d.trigger === 'none') return words + ', no trigger';
  return words + ', trigger ' + d.trigger + ': the kernel\'s trigger drives it, not the daemon';
}

function showLed(led) {
  const n = led.led;
  const lamp = $('lamp' + n);
  const state = stateWords(led);
  const look = lampClass(led);
  lamp.className = 'lamp ' + look;
  text($('lampstate' + n), { on: 'lit', off: 'off', blink: 'blinking', unknown: 'unknown' }[look]);
  text($('state' + n), 'Mode ' + led.mode + ', ' + led.shows + ': ' + state);
  $('evidence' + n).replaceChildren(...evidenceParts(led).map(item));
  text($('device' + n), deviceWords(led.device));
  const chooser = $('mode' + n);
  if (!page.chosen[n - 1] && !page.applying) {
    chooseMode(chooser, led.mode);
  }
}

function when(seconds) {
  const d = new Date(seconds * 1000);
  const two = (v) => String(v).padStart(2, '0');
  return d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate()) + ' ' +
    two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds());
}

function daemonWords(status) {
  const d = status.daemon || {};
  if (d.state !== 'running') {
    return 'The daemon: ' + (d.state || 'unknown') + ' (' + (d.reason || 'not looked at') + ')' +
      (d.state === 'unknown' ? '' : '; the LEDs keep what it last set');
  }
  let words = 'The daemon: running (pid ' + d.pid + ')';
  if (typeof d.started === 'number') words += ' since ' + when(d.started);
  if (d.replaced) words += '; its program file was replaced since';
  if (status.settings && status.settings.changed_since_start) {
    words += '; the settings changed after it started: restart it to apply them';
  }
  if (d.stop_signal) words += '; stopping (signal ' + d.stop_signal + ' received)';
  return words;
}

function showStatus(status) {
  for (const led of status.leds || []) showLed(led);
  text($('daemon'), daemonWords(status));
  const s = status.settings || {};
  const said = s.error ? ['The settings file ' + s.path + ' cannot be read (' + s.error + '): both modes read as 0'] : [];
  for (const [key, name, mode] of [['wifi_ap', 'MOD_NORVASK_WIFI_AP', 11], ['wifi_client', 'MOD_NORVASK_WIFI_CLIENT', 12]]) {
    if (s[key] && s[key].refused) said.push(name + ' refused: ' + s[key].refused + '; mode ' + mode + ' keeps its LED off');
  }
  text($('settings'), said.join('; '));
  text($('problem'), status.problem ? 'Could not look: ' + status.problem : '');
  text($('updated'), 'Updated ' + when(Date.now() / 1000));
}

// ---- the choosers ----

// "11: Wi-Fi hotspot — lit when ...; blinks when ...", in the status tool's words.
function modeWords(m) {
  let words = m.mode + ': ' + m.shows + ' — ' + (m.on ? 'lit when ' + m.on : 'never lit');
  if (m.blinks) words += '; blinks when ' + m.blinks;
  return words;
}

function chooseMode(chooser, mode) {
  if (chooser.value === String(mode)) return;
  if (![...chooser.options].some((o) => o.value === String(mode))) {
    // A mode beyond the table: shown as set, not offered.
    const option = new Option(mode + ': not a mode — never lit', String(mode));
    option.disabled = true;
    chooser.add(option);
  }
  chooser.value = String(mode);
}

function fillChoosers() {
  for (const n of [1, 2]) {
    const chooser = $('mode' + n);
    chooser.replaceChildren(...page.modes.map((m) => new Option(modeWords(m), String(m.mode))));
    // Framed, the choosers show the modes but never take a choice.
    if (framed) continue;
    chooser.disabled = false;
    chooser.addEventListener('change', () => {
      page.chosen[n - 1] = true;
      // Arrowing through the list asks once, for where it stops.
      clearTimeout(page.previewTimer[n - 1]);
      page.previewTimer[n - 1] = setTimeout(() => preview(n), previewDelayMs);
    });
  }
  $('apply').disabled = framed;
}

async function preview(n) {
  const box = $('preview' + n);
  const mode = $('mode' + n).value;
  text(box, 'Looking at what mode ' + mode + ' would show…');
  const answer = await ask('preview?mode=' + encodeURIComponent(mode));
  if ($('mode' + n).value !== mode) return;  // chosen again meanwhile
  if (answer.error) {
    text(box, 'No preview: ' + answer.error);
    return;
  }
  const p = answer.preview || {};
  const head = document.createElement('p');
  head.textContent = 'Preview of mode ' + mode + ' (' + p.shows + '): the LED would be ' + stateWords(p);
  const list = document.createElement('ul');
  list.className = 'evidence';
  list.replaceChildren(...evidenceParts(p).map(item));
  box.replaceChildren(head, list);
}

// ---- Apply ----

function result(words, failed) {
  const r = $('result');
  r.className = failed ? 'error' : '';
  text(r, words);
}

async function apply() {
  if (page.applying || framed) return;
  page.applying = true;
  $('apply').disabled = true;
  const led1 = Number($('mode1').value);
  const led2 = Number($('mode2').value);
  result('Applying: asking for the page\'s token…', false);
  const token = await ask('token');
  let answer = token;
  if (!token.error) {
    result('Applying: writing the settings and restarting the daemon…', false);
    answer = await ask('settings', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ led1: led1, led2: led2, token: token.token }),
    });
  }
  if (answer.error) {
    result('Not applied: ' + answer.error, true);
  } else {
    const a = answer.applied || {};
    result('Applied: LED 1 on mode ' + a.led1 + ', LED 2 on mode ' + a.led2 + '; the daemon was restarted.', false);
    page.chosen = [false, false];
    if (answer.status) showStatus(answer.status);
  }
  page.applying = false;
  $('apply').disabled = false;
}

// ---- refreshing ----

// The next look starts only once the last one has ended.
async function refresh() {
  const status = await ask('status');
  if (status.error) {
    text($('problem'), 'The status cannot be shown: ' + status.error);
  } else {
    showStatus(status);
  }
  page.timer = setTimeout(refresh, refreshMs);
}

async function start() {
  if (framed) {
    text($('framed'), 'This page is shown inside another page, which could make your clicks ' +
      'change the LEDs: the modes cannot be changed here. Open the router\'s address ' +
      'yourself to change them.');
  }
  $('apply').addEventListener('click', apply);
  const modes = await ask('modes');
  if (modes.error) {
    text($('problem'), 'The modes cannot be listed: ' + modes.error);
  } else {
    page.modes = modes.modes || [];
    fillChoosers();
  }
  await refresh();
}

document.addEventListener('DOMContentLoaded', start);
