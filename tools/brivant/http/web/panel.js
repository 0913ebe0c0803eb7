"use strict";
// The panel page: polls GET /api/units for new samples, draws each channel's
// count, rate, status byte and last minute, and sends each action as a POST
// with a JSON body and the token header. No other site is contacted.
(function () {
  const token = tokenFromAddress();
  const POLL_MS = 200;
  const WINDOW_S = 60;
  const CSV_HEADER = "time,elapsed_s,unit,ch0_count,ch0_status,ch1_count,ch1_status,ch2_count,ch2_status,result";
  const units = new Map(); // id -> {id, element, channels: [...], samples: [...], view}
  let lastSeq = 0;
  let rateHz = 0;
  let recording = null; // {startT, rows: []}

  // The token comes in the address brivant printed; it is kept for this tab
  // and taken out of the address bar, so it is not left in the history.
  function tokenFromAddress() {
    const params = new URLSearchParams(window.location.search);
    let value = params.get("token");
    if (value) {
      sessionStorage.setItem("brivant-token", value);
      history.replaceState(null, "", window.location.pathname);
    } else {
      value = sessionStorage.getItem("brivant-token") || "";
    }
    return value;
  }

  function api(path, options) {
    const init = Object.assign({ cache: "no-store", credentials: "omit" }, options || {});
    init.headers = Object.assign({ "X-Brivant-Token": token }, init.headers || {});
    return fetch(path, init);
  }

  function post(unitId, ch, action, body) {
    return api(`/api/units/${unitId}/channels/${ch}/${action}`, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body || {}),
    }).then(async (response) => {
      let answer = {};
      try { answer = await response.json(); } catch (e) { answer = {}; }
      return { status: response.status, answer };
    });
  }

  // ---- building the page ---------------------------------------------------

  function makeUnit(id) {
    const node = document.getElementById("unit-template").content.firstElementChild.cloneNode(true);
    node.dataset.unit = id;
    node.querySelector(".unit-id").textContent = id;
    const unit = { id, element: node, channels: [], samples: [], view: null };
    for (let ch = 0; ch < 3; ch++) {
      unit.channels.push(makeChannel(unit, ch));
    }
    const list = document.getElementById("units");
    const after = [...list.children].find((other) => Number(other.dataset.unit) > id);
    list.insertBefore(node, after || null);
    units.set(id, unit);
    return unit;
  }

  function makeChannel(unit, ch) {
    const node = document.getElementById("channel-template").content.firstElementChild.cloneNode(true);
    node.dataset.unit = unit.id;
    node.dataset.ch = ch;
    node.querySelector(".ch").textContent = ch;
    const bits = node.querySelector(".bits");
    for (let bit = 7; bit >= 0; bit--) {
      const box = document.createElement("span");
      box.className = "bit-box";
      box.textContent = bit;
      box.title = bit === 0 ? "bit 0: running" : `bit ${bit}`;
      bits.appendChild(box);
    }
    unit.element.querySelector(".channels").appendChild(node);

    for (const button of node.querySelectorAll(".actions button")) {
      const action = button.dataset.action;
      const badge = node.querySelector('.rc[data-for="runstop"]');
      button.addEventListener("click", () => send(unit.id, ch, action, {}, badge, button.textContent.trim()));
    }
    for (const form of node.querySelectorAll("form")) {
      form.addEventListener("submit", (event) => {
        event.preventDefault();
        const action = form.dataset.action;
        send(unit.id, ch, action, formBody(form, action), node.querySelector(`.rc[data-for="${action}"]`), "");
      });
    }
    return {
      element: node,
      count: node.querySelector(".count"),
      rate: node.querySelector(".rate"),
      runState: node.querySelector(".run-state"),
      bitBoxes: [...bits.children].reverse(), // index = bit number
      hex: node.querySelector(".status-hex"),
      canvas: node.querySelector("canvas"),
    };
  }

  function formBody(form, action) {
    if (action === "preset") {
      return { first: form.elements.first.value.trim(), second: form.elements.second.value.trim() };
    }
    if (action === "multiplier" || action === "clear-event") {
      return { selection: Number(form.elements.selection.value) };
    }
    const body = {};
    for (const name of ["s1", "s2", "s3"]) {
      if (form.elements[name]) body[name] = form.elements[name].checked ? 1 : 0;
    }
    return body;
  }

  function send(unitId, ch, action, body, badge, label) {
    badge.className = "rc busy";
    badge.textContent = "…";
    post(unitId, ch, action, body).then(({ status, answer }) => {
      const prefix = label ? label.replace(/^[^A-Za-z]+/, "") + ": " : "";
      if (status === 200) {
        badge.className = "rc " + (answer.result === "RC_OK" ? "ok" : "bad");
        badge.textContent = prefix + answer.result;
        badge.title = answer.message || "";
      } else {
        badge.className = "rc bad";
        badge.textContent = prefix + (status === 504 ? "no answer" : `refused (${status})`);
        badge.title = answer.error || "";
        if (status !== 504 && answer.error) badge.textContent += ": " + answer.error;
      }
    }, () => {
      badge.className = "rc bad";
      badge.textContent = "the panel server did not answer";
    });
  }

  // ---- showing samples -----------------------------------------------------

  const numberFormat = new Intl.NumberFormat("en-US");
  const rateFormat = new Intl.NumberFormat("en-US", { minimumFractionDigits: 1, maximumFractionDigits: 1, signDisplay: "exceptZero" });

  // The station's live settings of a channel, put into its forms; once per
  // change of them, so that a value being typed is not taken away.
  function showSettings(channel, settings) {
    const text = JSON.stringify(settings);
    if (channel.settingsShown === text) return;
    channel.settingsShown = text;
    const node = channel.element;
    const form = (action) => node.querySelector(`form[data-action="${action}"]`);
    form("multiplier").elements.selection.value = String(settings.multiplier);
    form("clear-event").elements.selection.value = String(settings.clear_event);
    const bits = { "input-inversion": settings.input_inversion, "output-inversion": settings.output_inversion,
                   "output-mode": settings.output_mode, "limiter": settings.limiter };
    for (const [action, values] of Object.entries(bits)) {
      values.forEach((value, i) => { form(action).elements["s" + (i + 1)].checked = value === 1; });
    }
    const hex = (word) => "0x" + (word >>> 0).toString(16).toUpperCase().padStart(8, "0");
    form("preset").elements.first.value = hex(settings.preset[0]);
    form("preset").elements.second.value = hex(settings.preset[1]);
    node.querySelector(".settings-source").textContent = "· as this station set them, not read from the unit";
  }

  function show(unit) {
    const view = unit.view;
    const state = unit.element.querySelector(".state");
    unit.element.classList.toggle("silent", !view.answering);
    state.classList.toggle("silent", !view.answering && view.seen);
    state.classList.toggle("absent", !view.seen);
    state.textContent = !view.seen ? `expected, not present (${view.last_result})`
      : view.answering ? "answering"
      : `not answering since ${new Date(view.silent_since).toLocaleTimeString()} (${view.last_result})`;
    const config = unit.element.querySelector(".config");
    config.hidden = view.configured === null || view.configured === undefined;
    if (!config.hidden) {
      const waiting = !view.configured && (!view.answering || !view.seen);
      config.className = "config" + (view.configured ? "" : waiting ? " waiting" : " failed");
      config.textContent = view.configured ? "configured by this station"
        : waiting ? "to be configured when it answers" : `configuration failed (${view.last_result}); retried`;
    }
    if (view.settings) {
      unit.channels.forEach((channel, ch) => showSettings(channel, view.settings[ch]));
    }
    const latest = view.latest && view.latest.result === "RC_OK" ? view.latest : null;
    unit.channels.forEach((channel, ch) => {
      if (latest) {
        channel.count.textContent = numberFormat.format(latest.counts[ch]);
        const status = latest.status[ch];
        channel.bitBoxes.forEach((box, bit) => box.classList.toggle("set", ((status >> bit) & 1) === 1));
        channel.hex.textContent = "0x" + status.toString(16).toUpperCase().padStart(2, "0");
        const running = (status & 1) === 1;
        channel.runState.textContent = running ? "● running" : "○ stopped";
        channel.runState.classList.toggle("running", running);
      }
      const rate = view.rate[ch];
      channel.rate.textContent = rate === null ? "– /s" : rateFormat.format(rate) + " /s";
      drawChart(channel.canvas, unit.samples, ch);
    });
  }

  function drawChart(canvas, samples, ch) {
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth || 320;
    const height = canvas.clientHeight || 90;
    if (canvas.width !== Math.round(width * ratio)) {
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
    }
    const g = canvas.getContext("2d");
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, width, height);
    const good = samples.filter((s) => s.result === "RC_OK");
    if (good.length === 0) return;
    const now = samples[samples.length - 1].t;
    const left = 48, right = width - 6, top = 8, bottom = height - 16;
    let low = Infinity, high = -Infinity;
    for (const s of good) {
      low = Math.min(low, s.counts[ch]);
      high = Math.max(high, s.counts[ch]);
    }
    if (low === high) { low -= 1; high += 1; }
    const x = (t) => right - ((now - t) / WINDOW_S) * (right - left);
    const y = (v) => bottom - ((v - low) / (high - low)) * (bottom - top);
    const color = getComputedStyle(canvas.parentElement).getPropertyValue("--chcolor").trim() || "#1f6feb";
    g.font = "10px system-ui, sans-serif";
    g.fillStyle = "#7b8794";
    g.strokeStyle = "#e6eaef";
    g.lineWidth = 1;
    for (const [value, yy] of [[high, top], [low, bottom]]) {
      g.beginPath(); g.moveTo(left, yy + 0.5); g.lineTo(right, yy + 0.5); g.stroke();
      g.fillText(compact(value), 4, yy + 3);
    }
    g.fillText("−60 s", left, height - 3);
    g.fillText("now", right - 18, height - 3);
    g.strokeStyle = color;
    g.lineWidth = 1.6;
    g.beginPath();
    let drawing = false, previous = null;
    for (const s of samples) {
      if (s.result !== "RC_OK" || (previous && s.t - previous.t > 2)) { drawing = false; }
      if (s.result === "RC_OK") {
        const px = x(s.t), py = y(s.counts[ch]);
        if (drawing) g.lineTo(px, py); else g.moveTo(px, py);
        drawing = true;
      }
      previous = s;
    }
    g.stroke();
  }

  function compact(value) {
    const size = Math.abs(value);
    if (size >= 1e9) return (value / 1e9).toFixed(2) + "G";
    if (size >= 1e6) return (value / 1e6).toFixed(2) + "M";
    if (size >= 1e4) return (value / 1e3).toFixed(1) + "k";
    return String(Math.round(value));
  }

  // ---- recording -----------------------------------------------------------

  function csvRow(unitId, s) {
    const elapsed = (s.t - recording.startT).toFixed(6);
    const fields = [s.time, elapsed, unitId];
    for (let ch = 0; ch < 3; ch++) {
      fields.push(s.result === "RC_OK" ? s.counts[ch] : "", s.result === "RC_OK" ? s.status[ch] : "");
    }
    fields.push(s.result);
    return fields.join(",");
  }

  function toggleRecording() {
    const button = document.getElementById("record");
    if (!recording) {
      recording = { startT: null, rows: [] };
      button.textContent = "■ Stop and save CSV";
      button.classList.add("on");
      showRecording();
      return;
    }
    const text = CSV_HEADER + "\n" + recording.rows.map((row) => row + "\n").join("");
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([text], { type: "text/csv" }));
    link.download = "brivant-" + new Date().toISOString().replace(/[:.]/g, "-") + ".csv";
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    recording = null;
    button.textContent = "● Record";
    button.classList.remove("on");
    showRecording();
  }

  function showRecording() {
    const info = document.getElementById("record-info");
    info.textContent = recording ? `recording: ${recording.rows.length} rows` : "";
  }

  // ---- polling -------------------------------------------------------------

  function take(data) {
    rateHz = data.rate_hz;
    if (data.station) document.title = `brivant · ${data.station}`;
    const backends = { sim: "simulated units", usb: "USB units", winusb: "USB units" };
    const backend = document.getElementById("backend");
    backend.textContent = backends[data.backend] || `no units (${data.backend})`;
    backend.className = "backend " + data.backend;
    for (const view of data.units) {
      const unit = units.get(view.id) || makeUnit(view.id);
      unit.view = view;
      for (const s of view.samples) {
        unit.samples.push(s);
        lastSeq = Math.max(lastSeq, s.seq);
        if (recording) {
          if (recording.startT === null) recording.startT = s.t;
          recording.rows.push(csvRow(view.id, s));
        }
      }
      const newest = unit.samples.length ? unit.samples[unit.samples.length - 1].t : 0;
      while (unit.samples.length && unit.samples[0].t < newest - WINDOW_S - 1) unit.samples.shift();
      show(unit);
    }
    document.getElementById("empty").hidden = units.size !== 0;
    const answering = data.units.filter((u) => u.answering).length;
    document.getElementById("summary").textContent =
      (data.station ? `station ${data.station} · ` : "") +
      `${data.units.length} unit${data.units.length === 1 ? "" : "s"}, ${answering} answering · ` +
      `each read ${rateHz} times a second · ${new Date().toLocaleTimeString()}`;
    if (recording) showRecording();
  }

  function banner(text) {
    const node = document.getElementById("banner");
    node.hidden = !text;
    node.textContent = text || "";
  }

  // A station's serve keeps a journal: after a restart of serve its memory
  // is empty, and the charts begin with the journal's last minute instead.
  // Its rows are placed on this run's time line by their wall-clock times.
  async function fillFromJournal(data) {
    const newest = data.units.flatMap((u) => u.samples).reduce((a, s) => (!a || s.seq > a.seq ? s : a), null);
    if (!data.station || !newest) return;
    const offset = Date.parse(newest.time) / 1000 - newest.t;
    try {
      // One row a unit every chart pixel's worth of time at most, so that
      // every unit's whole minute comes, at 1 kHz as at 10 Hz.
      const every = Math.max(1, Math.ceil(((WINDOW_S + 5) * 1000) / 600));
      const response = await api(`/api/history?since=-${WINDOW_S + 5}s&every=${every}`);
      if (!response.ok) return;
      const before = new Map();
      for (const line of (await response.text()).split("\n")) {
        if (!line) continue;
        const row = JSON.parse(line);
        if (row.unit === undefined) continue;
        const unit = units.get(row.unit);
        const t = row.time_us / 1e6 - offset;
        if (!unit || (unit.samples.length && t >= unit.samples[0].t)) continue;
        if (!before.has(unit)) before.set(unit, []);
        before.get(unit).push({ seq: 0, t, time: row.time, result: row.result, counts: row.counts, status: row.status });
      }
      for (const [unit, rows] of before) {
        unit.samples = rows.concat(unit.samples);
        show(unit);
      }
    } catch (e) {
      // the charts simply begin now
    }
  }

  let first = true;
  async function poll() {
    try {
      const response = await api(`/api/units?after=${lastSeq}`);
      if (response.ok) {
        const data = await response.json();
        take(data);
        if (first) {
          first = false;
          await fillFromJournal(data);
        }
        banner("");
      } else {
        const answer = await response.json().catch(() => ({}));
        banner(`The panel refused the request (${response.status}): ${answer.error || ""}`);
      }
    } catch (e) {
      banner("The panel server does not answer; trying again…");
    }
    setTimeout(poll, POLL_MS);
  }

  document.getElementById("record").addEventListener("click", toggleRecording);
  if (!token) {
    banner("No token: open the address that brivant panel printed, with ?token=… at its end.");
  } else {
    poll();
  }
})();
