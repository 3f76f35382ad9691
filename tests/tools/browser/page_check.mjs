// Opens the runner's status page in Debian's headless chromium at a phone's
// width and pixel ratio and checks, without reloading, that the front panel
// shows the runner's status (a table of rows, each read from the status JSON
// and from the page; every unit's every reading in its table), that the charts are drawn at the device pixel ratio with
// their legends, and that the mains alarms appear and then clear; given the
// runner's PID, it kills the runner and checks that the page says so within
// 10 s (a second screenshot, NAME-lost.png). A line of several systems: a
// block per system, each as its status says.
// Usage: node page_check.mjs URL SCREENSHOT.png [PID]
import puppeteer from "puppeteer-core";

const [url, shot, pid] = process.argv.slice(2);
const fail = (why) => { console.error("page check: " + why); process.exit(1); };
const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 390, height: 1400, deviceScaleFactor: 2 });  // a phone's
  let loads = 0;
  page.on("framenavigated", (f) => { if (f === page.mainFrame()) ++loads; });
  page.on("pageerror", (e) => fail("script error on the page: " + e.message));
  await page.goto(url, { waitUntil: "domcontentloaded" });

  // A line of several systems: a block per system, headed with its id and
  // address, its health as its status says, its units and its three charts drawn.
  const first = await fetch(new URL("api/v1/status", url)).then((r) => r.json()).catch((e) => fail("no status: " + e.message));
  if (first.systems) {
    const blocks = () => page.evaluate(() => [...document.querySelectorAll("[data-system]")].map((b) => ({
      id: b.dataset.system, heading: b.querySelector("h1").textContent, health: b.querySelector('[id$="-health"]').textContent,
      units: b.querySelectorAll("[data-unit]").length,
      charts: [...b.querySelectorAll(".chart canvas")].filter((c) => Chart.getChart(c)?.data.datasets[0].data.length >= 2).length })));
    let last = [];
    for (let k = 0; k < 300; ++k) {
      const s = await fetch(new URL("api/v1/status", url)).then((r) => r.json());
      const shown = await blocks();
      last = s.systems.map((sys, i) => ({ sys, b: shown[i] })).filter(({ sys, b }) => !b || b.id !== sys.id ||
        !b.heading.includes(sys.id + " · address " + sys.address) || b.health !== sys.health.state ||
        b.units !== sys.units.length || (sys.rounds > 2 && b.charts !== 3)).map(({ sys, b }) => ({ id: sys.id, shown: b }));
      if (shown.length === s.systems.length && last.length === 0) break;
      await new Promise((r) => setTimeout(r, 100));
    }
    if (last.length) fail("the systems' blocks never matched the status: " + JSON.stringify(last));
    await page.screenshot({ path: shot, fullPage: true });
    console.log(`page check: ${first.systems.length} systems shown, each with its health, units and charts`);
    await browser.close();
    process.exit(0);
  }

  // The panel against the status: what each row expects from the status JSON,
  // and what the page shows (read in the page).
  const reading = (s, type, key) => {
    for (const u of s.units) if (u.device_type === type) { const r = u.readings.find((x) => x.key === key); if (r) return r; }
    return null;
  };
  const rows = [
    { what: "DC voltage", expect: (s) => { const r = reading(s, "qpr2427k-dc", "dc_voltage"); return r.value.toFixed(r.precision) + " V"; },
      shown: () => document.querySelector('#dc tr[data-key="dc_voltage"] td.v').textContent },
    { what: "battery 1 current with its arrow", expect: (s) => { const r = reading(s, "qpr2427k-dc", "battery_1_current");
        return (r.value >= 0 ? "↑ " : "↓ ") + Math.abs(r.value).toFixed(r.precision) + " A"; },
      shown: () => document.querySelector('#batteries tr[data-key="battery_1_current"] td.v').textContent },
    { what: "rectifier 2's fault", expect: (s) => (reading(s, "qpr2427k-rc", "rectifier_2_fault").value ? "fault" : "ok"),
      shown: () => document.querySelector('#rectifiers tr[data-number="2"] td[data-fault]').textContent.split(",")[0] },
    { what: "fuse 3 blown", expect: (s) => (reading(s, "qpr2427k-dc", "fuse_3_state").value ? "Battery fuse 3: blown" : "none"),
      shown: () => document.querySelector('#fuses li[data-key="fuse_3_state"]')?.textContent ?? "none" },
    { what: "the alarm count in the heading", expect: (s) => (s.alarms.length ? ` (${s.alarms.length})` : ""),
      shown: () => document.getElementById("alarm-count").textContent },
  ];
  // Compared once the scenario's fault and blown fuse are in the status, so that both show as such.
  let last = [];
  for (let k = 0; k < 300; ++k) {
    const s = await fetch(new URL("api/v1/status", url)).then((r) => r.json()).catch((e) => fail("no status: " + e.message));
    if (!reading(s, "qpr2427k-rc", "rectifier_2_fault")?.value || !reading(s, "qpr2427k-dc", "fuse_3_state")?.value) {
      await new Promise((r) => setTimeout(r, 100));
      continue;
    }
    const shown = [];
    for (const row of rows) shown.push(await page.evaluate(row.shown).catch(() => "(missing)"));
    last = rows.map((row, i) => ({ what: row.what, expect: row.expect(s), shown: shown[i] })).filter((x) => x.expect !== x.shown);
    if (last.length === 0) break;
    await new Promise((r) => setTimeout(r, 100));
  }
  if (last.length) fail("the panel never matched the status: " + JSON.stringify(last));

  // Every reading of every unit, named and with its unit at its precision, in
  // the page's unit tables (read right after the status; tried again should a
  // round come between the two).
  let unmatched = [];
  for (let k = 0; k < 50; ++k) {
    const s = await fetch(new URL("api/v1/status", url)).then((r) => r.json()).catch((e) => fail("no status: " + e.message));
    const shown = await page.evaluate(() => Object.fromEntries([...document.querySelectorAll("#units [data-unit]")].map(
      (d) => [d.dataset.unit, [...d.querySelectorAll("tr")].map((tr) => [...tr.cells].map((c) => c.textContent).join(" = "))])));
    unmatched = [];
    for (const u of s.units) {
      const rows = shown[u.device_type + " " + u.data_id] ?? [];
      for (const r of u.readings) {
        const want = r.name + " = " + r.value.toFixed(r.precision) + (r.unit ? " " + r.unit : "");
        if (!rows.includes(want)) unmatched.push(want);
      }
    }
    if (unmatched.length === 0 && s.units.length > 0) break;
    await new Promise((r) => setTimeout(r, 100));
  }
  if (unmatched.length) fail("readings of the status not on the page: " + JSON.stringify(unmatched.slice(0, 10)));

  // Charts: drawn at the device pixel ratio (the canvas sized by its box), with a legend and points.
  await page.waitForFunction(() => [...document.querySelectorAll(".chart canvas")].every(
    (c) => Chart.getChart(c).data.datasets.every((d) => d.data.length >= 2)), { timeout: 30000 })
    .catch(() => fail("the charts never had two points"));
  const charts = await page.evaluate(() => [...document.querySelectorAll(".chart canvas")].map((c) => {
    const chart = Chart.getChart(c);
    return { id: c.id, width: c.width, clientWidth: c.clientWidth, height: c.height, clientHeight: c.clientHeight,
             ratio: devicePixelRatio, legend: chart.legend.legendItems.map((i) => i.text + " " + i.strokeStyle),
             axis: chart.options.scales.y.title.text };
  }));
  if (charts.length !== 3) fail("expected 3 charts: " + JSON.stringify(charts));
  for (const c of charts) {
    if (c.ratio !== 2 || Math.abs(c.width - c.clientWidth * c.ratio) >= c.ratio || Math.abs(c.height - c.clientHeight * c.ratio) >= c.ratio)
      fail("a chart is not drawn at the pixel ratio: " + JSON.stringify(c));
    if (c.legend.length === 0 || !c.axis) fail("a chart without a legend or an axis unit: " + JSON.stringify(c));
  }

  // The mains failure's alarms come and go; the others stay, counted in the heading.
  await page.waitForFunction(() => [...document.querySelectorAll("#alarms li")].some((li) => li.dataset.key.startsWith("AC_")),
                             { timeout: 60000 }).catch(() => fail("no mains alarm appeared"));
  const alarm = await page.$eval('#alarms li[data-key^="AC_"]', (li) => li.textContent);
  await page.screenshot({ path: shot, fullPage: true });
  await page.waitForFunction(() => {
    const list = [...document.querySelectorAll("#alarms li")];
    return list.length > 0 && list.every((li) => !li.dataset.key.startsWith("AC_")) &&
           document.getElementById("alarm-count").textContent === ` (${list.length})`;
  }, { timeout: 60000 }).catch(() => fail("the mains alarms did not clear: " + alarm));
  if (loads !== 1) fail(`the page loaded ${loads} times`);
  if (pid) {
    process.kill(Number(pid), "SIGKILL");
    const killed = Date.now();
    await page.waitForFunction(() => document.getElementById("health").textContent === "no answer" &&
                                     document.getElementById("health").className === "bad", { timeout: 12000 })
      .catch(() => fail("the page still looks alive 12 s after the runner was killed"));
    if (Date.now() - killed > 10500) fail(`the page took ${Date.now() - killed} ms to say the runner is gone`);
    await page.screenshot({ path: shot.replace(/\.png$/, "-lost.png"), fullPage: true });
  }
  console.log("page check: panel and charts shown, mains alarms raised and cleared: " + alarm);
} finally {
  await browser.close();
}
