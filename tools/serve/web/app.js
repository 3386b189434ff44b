// The live view of kqmon serve. Reads the server's event stream (one JSON object of kqmon's
// --format json schema per event) and shows the watched clients' statements in a grid that holds
// at most MaxRows rows, rendering only the rows in sight; every statement that does not stay in view
// is counted. The work per animation frame is bounded, so a flood cannot freeze the page.
'use strict';

(() => {
  const MaxRows = 10000;
  const RowHeight = 20; // style.css's --row
  const ParsePerFrame = 4000;
  const token = document.querySelector('meta[name="kq-token"]').content;

  // The cookie (set with this load) and this copy carry the token from now on; it need not stay
  // in the address bar, the history or a screenshot.
  if (location.search.includes('token=')) history.replaceState(null, '', location.pathname);

  const $ = (id) => document.getElementById(id);

  // What happened to every object the stream brought. Read by the browser test, too.
  const counters = {
    statements: 0, // statement and log_started objects received
    gaps: 0,
    lost: 0, // statements the ring lost before the monitor read them (the gaps' counts)
    serverDropped: 0, // objects the server left out of this stream because the page fell behind
    notShown: 0, // received faster than the page shows them: never parsed
    evicted: 0, // left the grid at its bound (or on Clear)
    filteredOut: 0, // kept, but not in view: they do not match the filter
    bytes: 0,
    events: 0,
    frames: 0,
    longestFrameMs: 0, // the longest time between two animation frames: a freeze shows here
    longestTaskMs: 0, // the longest piece of stream handling
  };

  let rows = []; // rows kept, oldest first (each {seq, kind, ref, time, text, cut, dur, nrows, status, raw})
  let view = rows; // the rows that match the filter
  let pending = []; // raw lines waiting to become rows
  let seq = 0;
  let filter = '';
  let minDuration = null; // ms; statements without a known duration do not pass it
  let selected = null; // the row opened below the grid
  let paused = false;
  let dirty = true;
  const watched = new Map(); // the clients being watched: ID -> name (one watch reads them all)
  let clientsList = null; // the client list being received: {monitor, clients}
  const perClient = new Map(); // ID -> {statements, lost}: what this page received of each client
  let clientFilter = null; // the one client in view, or null for all
  let topRows = [];

  // ---- requests

  async function request(method, path) {
    const response = await fetch(path, { method, headers: { 'X-Kq-Token': token }, cache: 'no-store' });
    const text = await response.text();
    let answer = null;
    try {
      answer = JSON.parse(text.split('\n')[0]);
    } catch (e) {
      answer = { ok: false, error: text.trim() || response.statusText };
    }
    return { status: response.status, answer };
  }

  function say(text, bad) {
    const p = $('request-result');
    p.textContent = text;
    p.className = bad ? 'note dead' : 'note';
  }

  async function attach(id) {
    const { answer } = await request('POST', 'api/attach?client=' + encodeURIComponent(id));
    say(answer.ok ? 'attaching to client ' + id : answer.error, !answer.ok);
  }

  $('ping').addEventListener('click', async () => {
    const { answer } = await request('POST', 'api/ping');
    say(answer.ok ? 'pinged the clients' : answer.error, !answer.ok);
  });

  $('signal-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const value = $('signal-value').value.trim();
    const { answer } = await request('POST', 'api/signal?value=' + encodeURIComponent(value));
    say(answer.ok ? 'sent ' + answer.value + ' to client ' + answer['kq.client.id'] : answer.error, !answer.ok);
  });

  // ---- the grid

  const grid = $('grid');
  const spacer = $('grid-spacer');
  const pool = [];

  function rowElement() {
    const div = document.createElement('div');
    div.className = 'row';
    for (const name of ['ref', 'time', 'client', 'dur', 'rows', 'status', 'text']) {
      const span = document.createElement('span');
      span.className = name;
      div.appendChild(span);
    }
    const mark = document.createElement('span');
    mark.className = 'cut';
    mark.textContent = 'cut';
    mark.title = 'the statement was longer than a record of the trace buffer holds';
    div.appendChild(mark);
    $('grid-rows').appendChild(div);
    return div;
  }

  // Every row is kept whether it matches or not: a filter only chooses what is in view, so that
  // clearing it brings back what came in the meantime.
  function matches(row) {
    if (clientFilter !== null && row.client !== clientFilter) return false;
    if (row.kind !== 's') return true;
    if (minDuration !== null && (row.dur === null || row.dur < minDuration)) return false;
    return filter === '' || row.lower.includes(filter);
  }

  function applyFilter() {
    filter = $('filter').value.trim().toLowerCase();
    const min = parseFloat($('min-duration').value);
    minDuration = Number.isFinite(min) && min > 0 ? min : null;
    const client = $('client-filter').value;
    clientFilter = client === '' ? null : Number(client);
    view = filter === '' && minDuration === null && clientFilter === null ? rows : rows.filter(matches);
    dirty = true;
  }
  $('filter').addEventListener('input', applyFilter);
  $('min-duration').addEventListener('input', applyFilter);
  $('client-filter').addEventListener('change', applyFilter);

  $('pause').addEventListener('click', () => {
    paused = !paused;
    $('pause').textContent = paused ? 'Resume' : 'Pause';
    dirty = true;
  });

  $('clear').addEventListener('click', () => {
    counters.evicted += rows.length;
    rows = [];
    view = rows;
    applyFilter();
  });

  grid.addEventListener('scroll', () => {
    dirty = true;
  });

  function render() {
    spacer.style.height = view.length * RowHeight + 'px';
    if (!paused) grid.scrollTop = grid.scrollHeight;
    const first = Math.max(0, Math.floor(grid.scrollTop / RowHeight));
    const count = Math.ceil(grid.clientHeight / RowHeight) + 2;
    while (pool.length < count) pool.push(rowElement());
    for (let i = 0; i < pool.length; i++) {
      const div = pool[i];
      const row = i < count ? view[first + i] : undefined;
      if (!row) {
        div.style.display = 'none';
        continue;
      }
      div.style.display = '';
      div.style.transform = 'translateY(' + (first + i) * RowHeight + 'px)';
      div.className = (row.kind === 'g' ? 'row gap' : row.kind === 'l' ? 'row log' : row.status === 'error' ? 'row err' : 'row') +
        (row === selected ? ' selected' : '');
      div.dataset.kind = row.kind;
      div.dataset.client = row.client;
      div.kqRow = row;
      div.children[0].textContent = row.ref;
      div.children[1].textContent = row.time;
      div.children[2].textContent = row.clientName;
      div.children[2].title = 'client ' + row.client;
      div.children[3].textContent = row.dur === null || row.dur === undefined ? '' : row.dur.toFixed(3);
      div.children[4].textContent = row.nrows === null || row.nrows === undefined ? '' : row.nrows;
      div.children[5].textContent = row.status === 'error' ? 'ERROR' + (row.sqlstate ? ' ' + row.sqlstate : '') :
        row.status || '';
      div.children[6].textContent = row.text;
      div.children[7].style.display = row.cut ? '' : 'none';
    }
  }

  // A row opens below the grid with its whole statement (the grid shows one line of it) and outcome.
  $('grid-rows').addEventListener('click', (event) => {
    const div = event.target.closest('.row');
    if (!div || !div.kqRow) return;
    selected = div.kqRow;
    showDetail();
    dirty = true;
  });
  $('detail-close').addEventListener('click', () => {
    selected = null;
    $('detail').hidden = true;
    dirty = true;
  });

  function showDetail() {
    const row = selected;
    const parts = ['client ' + row.client + ' (' + row.clientName + ')', 'ref ' + row.ref, 'start ' + row.time];
    if (row.end) parts.push('end ' + row.end.slice(11, 23));
    if (row.dur !== null && row.dur !== undefined) parts.push(row.dur.toFixed(3) + ' ms');
    if (row.nrows !== null && row.nrows !== undefined) parts.push(row.nrows + ' row(s)');
    if (row.status) parts.push(row.status);
    if (row.sqlstate) parts.push('SQLSTATE ' + row.sqlstate);
    if (row.code) parts.push('code ' + row.code);
    if (row.cut) parts.push('cut at the record limit');
    $('detail-title').textContent = parts.join(' · ');
    $('detail-text').textContent = row.text + (row.message ? '\n\n-- ' + row.message : '');
    $('detail').hidden = false;
  }

  // ---- export of what is in view

  function download(name, type, text) {
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([text], { type }));
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 1000);
  }

  // The JSON lines as the stream brought them: kqmon's own schema, every member.
  function exportJson() {
    return view.map((row) => row.raw + '\n').join('');
  }

  const CsvColumns = ['kind', 'ref', 'start', 'end', 'duration_ms', 'rows', 'status', 'sqlstate', 'code', 'message',
    'client_id', 'client_name', 'cut', 'text'];
  function csvField(value) {
    const text = value === null || value === undefined ? '' : String(value);
    return /[",\r\n]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text;
  }
  function exportCsv() {
    const kinds = { s: 'statement', l: 'log_started', g: 'gap' };
    const lines = [CsvColumns.join(',')];
    for (const row of view)
      lines.push([kinds[row.kind], row.ref, row.start, row.end, row.dur, row.nrows, row.status, row.sqlstate, row.code,
        row.message, row.client, row.clientName, row.cut, row.text].map(csvField).join(','));
    return lines.join('\r\n') + '\r\n';
  }
  $('export-json').addEventListener('click', () => download('kqmon-view.jsonl', 'application/x-ndjson', exportJson()));
  $('export-csv').addEventListener('click', () => download('kqmon-view.csv', 'text/csv', exportCsv()));

  // ---- the chart: statements per second and their durations over the last minutes

  const ChartSeconds = 300;
  const DurationsPerSecond = 2000; // enough for a percentile; a flood's others only count
  const seconds = new Map(); // second (ms since 1970 / 1000) -> {count, errors, durations}
  function bucket(at) {
    const key = Math.floor(at / 1000);
    let b = seconds.get(key);
    if (!b) {
      b = { count: 0, errors: 0, durations: [] };
      seconds.set(key, b);
      for (const old of seconds.keys()) if (old < key - ChartSeconds) seconds.delete(old);
    }
    return b;
  }
  function percentile(sorted, share) {
    return sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil(share * sorted.length) - 1))];
  }

  // The figures each drawn second stands for: read by the browser test, too.
  function chartSeries() {
    const now = Math.floor(Date.now() / 1000);
    const series = [];
    for (let key = now - ChartSeconds + 1; key <= now; key++) {
      const b = seconds.get(key);
      if (!b) {
        series.push({ second: key, count: 0, errors: 0, p50: null, p95: null });
        continue;
      }
      const sorted = b.durations.slice().sort((x, y) => x - y);
      series.push({ second: key, count: b.count, errors: b.errors, p50: sorted.length ? percentile(sorted, 0.5) : null,
        p95: sorted.length ? percentile(sorted, 0.95) : null });
    }
    return series;
  }

  function drawChart() {
    const canvas = $('chart');
    const width = canvas.clientWidth;
    if (canvas.width !== width) canvas.width = width;
    const height = canvas.height;
    const g = canvas.getContext('2d');
    g.clearRect(0, 0, width, height);
    const series = chartSeries();
    const half = height / 2;
    const left = 44;
    const step = (width - left) / ChartSeconds;
    const maxRate = Math.max(1, ...series.map((p) => p.count));
    const maxMs = Math.max(1, ...series.map((p) => p.p95 || 0));
    g.font = '10px system-ui, sans-serif';
    g.fillStyle = '#6a7383';
    g.fillText(maxRate + '/s', 2, 10);
    g.fillText(maxMs.toFixed(1) + ' ms', 2, half + 10);
    g.strokeStyle = '#e2e6ec';
    g.beginPath();
    g.moveTo(left, half);
    g.lineTo(width, half);
    g.stroke();
    // Errors: a red tick under the rate line in each second that had one.
    g.fillStyle = '#b3261e';
    series.forEach((p, i) => {
      if (p.errors) g.fillRect(left + i * step, half - 4 - Math.max(2, (p.errors / maxRate) * (half - 8)), Math.max(1, step), Math.max(2, (p.errors / maxRate) * (half - 8)));
    });
    g.strokeStyle = '#2457c5';
    g.beginPath();
    series.forEach((p, i) => {
      const x = left + i * step;
      const y = half - 4 - (p.count / maxRate) * (half - 8);
      if (i === 0) g.moveTo(x, y);
      else g.lineTo(x, y);
    });
    g.stroke();
    // The band from median to 95th percentile of each second's durations.
    g.fillStyle = 'rgba(240, 180, 90, 0.8)';
    const y = (ms) => height - 2 - (ms / maxMs) * (half - 8);
    series.forEach((p, i) => {
      if (p.p95 === null) return;
      const top = y(p.p95);
      g.fillRect(left + i * step, top, Math.max(1, step), Math.max(1, y(p.p50) - top + 1));
    });
  }

  // ---- rows from the stream

  // Every row says whose it is: one watch shows the statements of every client.
  function toRow(object) {
    const row = rowOf(object);
    row.client = object['kq.client.id'];
    row.clientName = object['kq.client.name'] || String(row.client);
    return row;
  }

  function rowOf(object) {
    const time = object.time.slice(11, 23);
    switch (object.kind) {
      case 'statement':
        return {
          kind: 's', ref: object['kq.ref_no'], time, text: object['db.query.text'], cut: object.cut,
          start: object.time, end: object['kq.end_time'] || null,
          dur: object['kq.duration_ms'] === undefined ? null : object['kq.duration_ms'],
          nrows: object['db.response.returned_rows'] === undefined ? null : object['db.response.returned_rows'],
          status: object['kq.status'] || '', sqlstate: object['db.response.status_code'] || '',
          code: object['kq.error.native_code'] || 0, message: object['kq.error.message'] || '',
        };
      case 'log_started':
        return {
          kind: 'l', ref: object['kq.ref_no'], time,
          text: '=== log started for ' + object['kq.log_name'] + ' (client ' + object['kq.client.id'] + ') ===',
          cut: false,
        };
      default:
        return {
          kind: 'g', ref: object['kq.gap.from_ref_no'], time,
          text: '--- gap: ' + object['kq.gap.missing'] + ' statement(s) from ref ' + object['kq.gap.from_ref_no'] +
            ' evicted before they were read ---',
          cut: false,
        };
    }
  }

  // Moves a bounded number of waiting lines into the grid; when more wait than the grid holds,
  // the oldest would only pass through it, so they are counted and skipped unparsed.
  function takePending() {
    if (pending.length > MaxRows) {
      const skip = pending.length - MaxRows;
      for (let i = 0; i < skip; i++) if (pending[i].line.charCodeAt(9) !== 103 /* g of "gap" */) counters.notShown++;
      pending = pending.slice(skip);
    }
    if (pending.length === 0) return;
    const take = Math.min(pending.length, ParsePerFrame);
    for (let i = 0; i < take; i++) {
      const row = toRow(JSON.parse(pending[i].line));
      row.raw = pending[i].line;
      row.seq = seq++;
      if (row.kind === 's') {
        row.lower = row.text.toLowerCase();
        if (row.dur !== null) {
          const b = bucket(pending[i].at);
          if (b.durations.length < DurationsPerSecond) b.durations.push(row.dur);
        }
      }
      rows.push(row);
      if (view !== rows && matches(row)) view.push(row);
    }
    pending = take === pending.length ? [] : pending.slice(take);
    if (rows.length > MaxRows) {
      const drop = rows.length - MaxRows;
      const firstKept = rows[drop].seq;
      let statements = 0;
      for (let i = 0; i < drop; i++) if (rows[i].kind !== 'g') statements++;
      counters.evicted += statements;
      rows.splice(0, drop);
      if (view !== rows) {
        let cut = 0;
        while (cut < view.length && view[cut].seq < firstKept) cut++;
        if (cut) view.splice(0, cut);
        if (paused) grid.scrollTop -= cut * RowHeight;
      } else if (paused) {
        grid.scrollTop -= drop * RowHeight;
      }
    }
    dirty = true;
  }

  // The statements of one client so far, found in the raw line: a flood leaves most lines unparsed.
  function tallyOf(id) {
    let tally = perClient.get(id);
    if (!tally) perClient.set(id, (tally = { statements: 0, lost: 0 }));
    return tally;
  }
  const ClientKey = '"kq.client.id":';
  function clientOfLine(line) {
    const at = line.indexOf(ClientKey);
    return at < 0 ? null : parseInt(line.slice(at + ClientKey.length, at + ClientKey.length + 12), 10);
  }

  function onObject(line) {
    counters.events++;
    // Members come in a fixed order, "kind" first: its value tells the kind without parsing.
    if (line.startsWith('{"kind":"statement"') || line.startsWith('{"kind":"log_started"')) {
      counters.statements++;
      const client = clientOfLine(line);
      if (client !== null && line.charCodeAt(9) === 115 /* s */) tallyOf(client).statements++;
      // Every statement counts in the chart's rate, by when it arrived; errors are told from the
      // raw line, so that those a flood leaves unparsed still count.
      const at = Date.now();
      if (line.charCodeAt(9) === 115 /* s */) {
        const b = bucket(at);
        b.count++;
        if (line.includes('"kq.status":"error"')) b.errors++;
      }
      pending.push({ line, at });
      return;
    }
    const object = JSON.parse(line);
    switch (object.kind) {
      case 'gap':
        counters.gaps++;
        counters.lost += object['kq.gap.missing'];
        tallyOf(object['kq.client.id']).lost += object['kq.gap.missing'];
        pending.push({ line, at: Date.now() });
        break;
      case 'dropped':
        counters.serverDropped += object['kq.dropped.count'];
        break;
      case 'watch':
        showWatch(object);
        break;
      case 'monitor':
        clientsList = { monitor: object, clients: [] };
        if (object['kq.client.count'] === 0) showClients();
        break;
      case 'client':
        if (clientsList) {
          clientsList.clients.push(object);
          if (clientsList.clients.length >= clientsList.monitor['kq.client.count']) showClients();
        }
        break;
      case 'fingerprint':
        if (object.rank === 1) topRows = [];
        topRows.push(object);
        break;
      case 'top_summary':
        showTop(object);
        break;
      case 'tally':
        showTally(object);
        break;
      default:
        break; // kinds of a later kqmon
    }
  }

  // ---- the side panels

  function showWatch(object) {
    const id = object['kq.client.id'];
    if (object.state === 'attached') watched.set(id, object['kq.client.name']);
    else if (object.state === 'detached') watched.delete(id);
    else if (object.state === 'waiting') watched.clear();
    let text;
    if (watched.size > 1) {
      text = 'watching ' + watched.size + ' clients';
    } else if (watched.size === 1) {
      const [[only, name]] = watched;
      text = 'watching client ' + only + ' (' + name + ')';
    } else {
      text = object.state === 'detached' ? 'client ' + id + ' (' + object['kq.client.name'] + ') detached' :
        'waiting for a client';
    }
    $('watch-state').textContent = text + (object.redact ? ' · literals redacted' : '');
    // A value goes to the one watched client; with several, attach to one first.
    $('signal-send').disabled = watched.size !== 1;
    if (clientsList) showClients();
  }

  function cell(tr, text, className) {
    const td = document.createElement('td');
    td.textContent = text;
    if (className) td.className = className;
    tr.appendChild(td);
    return td;
  }

  function showClients() {
    const body = $('clients').tBodies[0];
    body.textContent = '';
    for (const client of clientsList.clients) {
      const id = client['kq.client.id'];
      const tr = document.createElement('tr');
      tr.dataset.client = id;
      cell(tr, id, 'num');
      cell(tr, client['kq.client.name']);
      // Dead: its process ended without leaving. Not answering: alive for all we know, but it did
      // not answer the last ping (a client pauses after another client's signal).
      const state = client.dead ? 'dead' : client.alive ? 'live' : 'not answering';
      cell(tr, state + (watched.has(id) ? ' · watched' : ''), client.alive ? 'alive' : 'dead');
      cell(tr, '', 'num received');
      cell(tr, '', 'num lost');
      const td = cell(tr, '');
      const button = document.createElement('button');
      button.type = 'button';
      // Attach narrows the watch to this client (every client is watched until then).
      const isOnlyWatched = watched.size === 1 && watched.has(id);
      button.textContent = isOnlyWatched ? 'watching' : 'Attach';
      button.title = isOnlyWatched ? '' : watched.has(id) ? 'watch this client only' : 'watch this client';
      button.disabled = isOnlyWatched;
      button.className = 'attach';
      button.addEventListener('click', () => attach(id));
      td.appendChild(button);
      body.appendChild(tr);
    }
    $('no-clients').style.display = clientsList.clients.length ? 'none' : '';
    showClientCounts();
    // The filter offers every client listed now and keeps the one chosen, listed or gone.
    const select = $('client-filter');
    const chosen = select.value;
    const offered = new Map(clientsList.clients.map((c) => [String(c['kq.client.id']), c['kq.client.name']]));
    if (chosen !== '' && !offered.has(chosen)) offered.set(chosen, 'gone');
    select.length = 1;
    for (const [id, name] of offered) select.add(new Option(id + ' ' + name, id));
    select.value = chosen;
  }

  // In place, so that a button under the pointer stays the same element.
  function showClientCounts() {
    for (const tr of $('clients').tBodies[0].rows) {
      const tally = perClient.get(Number(tr.dataset.client));
      tr.querySelector('.received').textContent = tally ? tally.statements.toLocaleString() : '0';
      tr.querySelector('.lost').textContent = tally && tally.lost ? tally.lost.toLocaleString() : '';
    }
  }

  function showTop(summary) {
    const body = $('top').tBodies[0];
    body.textContent = '';
    for (const row of topRows) {
      const tr = document.createElement('tr');
      cell(tr, row.count.toLocaleString(), 'num');
      cell(tr, (row.share * 100).toFixed(1) + '%', 'num');
      const ms = (value) => (value === null || value === undefined ? '' : value.toFixed(value >= 100 ? 0 : 3));
      cell(tr, ms(row['kq.duration.total_ms']), 'num');
      cell(tr, ms(row['kq.duration.mean_ms']), 'num');
      cell(tr, ms(row['kq.duration.max_ms']), 'num');
      cell(tr, ms(row['kq.duration.p95_ms']), 'num');
      cell(tr, row['db.response.returned_rows'] === undefined ? '' : row['db.response.returned_rows'], 'num');
      cell(tr, row['kq.errors'] || 0, row['kq.errors'] > 0 ? 'num dead' : 'num');
      cell(tr, row.bursts, row.bursts > 0 ? 'num dead' : 'num');
      cell(tr, row['kq.fingerprint'], 'fingerprint');
      body.appendChild(tr);
    }
    topRows = [];
    $('top-summary').textContent = summary.statements.toLocaleString() + ' statement(s) in ' + summary.fingerprints +
      ' shape(s); bursts: ' + summary['kq.burst.count'] + ' of one shape within ' + summary['kq.burst.window_ms'] +
      ' ms';
  }

  function showTally(tally) {
    $('tally').textContent = 'monitor: ' + tally.records.toLocaleString() + ' record(s) read, ' +
      tally.lost.toLocaleString() + ' lost in ' + tally.gaps + ' gap(s)' +
      (tally.filtered ? ', ' + tally.filtered.toLocaleString() + ' filtered by --grep' : '');
  }

  function showCounters() {
    showClientCounts();
    const dropped = counters.notShown + counters.evicted + counters.serverDropped;
    counters.filteredOut = rows.length - view.length;
    $('counters').textContent = counters.statements.toLocaleString() + ' received · ' + view.length.toLocaleString() +
      ' in view · ' + dropped.toLocaleString() + ' dropped from view' +
      (counters.filteredOut ? ' · ' + counters.filteredOut.toLocaleString() + ' not matching' : '') +
      (counters.gaps ? ' · ' + counters.lost.toLocaleString() + ' lost in ' + counters.gaps + ' gap(s)' : '');
  }

  // ---- the stream

  function setStreamState(text, good) {
    const badge = $('stream-state');
    badge.textContent = text;
    badge.className = 'badge ' + (good ? 'live' : 'down');
  }

  function handleText(text) {
    const started = performance.now();
    let at = 0;
    for (;;) {
      const end = text.indexOf('\n', at);
      if (end < 0) break;
      // One object per line; an empty line only keeps the stream open.
      if (end > at) onObject(text.slice(at, end));
      at = end + 1;
    }
    counters.longestTaskMs = Math.max(counters.longestTaskMs, performance.now() - started);
    return text.slice(at);
  }

  async function stream() {
    for (;;) {
      try {
        const response = await fetch('events', { headers: { 'X-Kq-Token': token }, cache: 'no-store' });
        if (!response.ok) throw new Error(await response.text());
        setStreamState('live', true);
        const reader = response.body.getReader();
        const decoder = new TextDecoder();
        let rest = '';
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          counters.bytes += value.length;
          rest = handleText(rest + decoder.decode(value, { stream: true }));
        }
        setStreamState('ended; reconnecting', false);
      } catch (e) {
        setStreamState('not connected: ' + (e.message || e), false);
      }
      await new Promise((resolve) => setTimeout(resolve, 1000));
    }
  }

  let lastFrame = 0;
  let lastCounters = 0;
  let lastChart = 0;
  function frame(now) {
    if (lastFrame) counters.longestFrameMs = Math.max(counters.longestFrameMs, now - lastFrame);
    lastFrame = now;
    counters.frames++;
    takePending();
    if (dirty) {
      dirty = false;
      render();
    }
    if (now - lastCounters > 200) {
      lastCounters = now;
      showCounters();
    }
    if (now - lastChart > 1000) {
      lastChart = now;
      drawChart();
    }
    requestAnimationFrame(frame);
  }

  // For tests and the curious: the counters and the rows in view.
  window.kqView = {
    counters,
    perClient: () => Object.fromEntries(perClient),
    rowsInView: () => view.length,
    snapshot: () => view.map((row) => ({
      kind: row.kind, ref: row.ref, time: row.time, client: row.client, text: row.text, cut: row.cut, dur: row.dur,
      rows: row.nrows, status: row.status,
    })),
    exportJson,
    exportCsv,
    chartSeries,
    resetFrameStats: () => {
      counters.longestFrameMs = 0;
      counters.longestTaskMs = 0;
    },
  };

  $('signal-send').disabled = true;
  requestAnimationFrame(frame);
  stream();
})();
