// Opens the runner's status page in Debian's headless chromium and checks,
// without reloading, that it shows the runner's values and that an alarm
// appears and then clears; given the runner's PID, it kills the runner and
// checks that the page says so within 10 s (a second screenshot, NAME-lost.png).
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
  await page.setViewport({ width: 412, height: 1400 });  // a phone's width
  let loads = 0;
  page.on("framenavigated", (f) => { if (f === page.mainFrame()) ++loads; });
  await page.goto(url, { waitUntil: "domcontentloaded" });

  // The units and values the page shows equal the runner's for the same round.
  const shown = () => page.evaluate(() => [...document.querySelectorAll("[data-unit]")].map((u) => ({
    unit: u.dataset.unit, round: Number(u.dataset.round),
    values: Object.fromEntries([...u.querySelectorAll("tr")].map((r) => [r.dataset.key, r.cells[1].textContent])),
  })));
  let matched = false;
  for (let k = 0; k < 200 && !matched; ++k) {
    const status = await (await fetch(new URL("api/v1/status", url))).json();
    const dom = await shown();
    matched = status.units.length > 0 && status.units.every((u) => {
      const d = dom.find((x) => x.unit === u.device_type + " " + u.data_id);
      return d && d.round === u.round &&
        u.values.every((v) => d.values[v.key] === ("value" in v ? (v.value === null ? "-" : String(v.value)) : v.error));
    });
    if (!matched) await new Promise((r) => setTimeout(r, 50));
  }
  if (!matched) fail("the page never showed the runner's values for a round");

  await page.waitForFunction(() => document.querySelectorAll("#alarms li").length > 0, { timeout: 30000 })
    .catch(() => fail("no alarm appeared"));
  const alarm = await page.$eval("#alarms li", (li) => li.textContent);
  await page.waitForFunction(() => document.getElementById("legend").textContent !== "", { timeout: 10000 })
    .catch(() => fail("the chart was never drawn"));
  await page.screenshot({ path: shot, fullPage: true });
  await page.waitForFunction(
    () => document.querySelectorAll("#alarms li").length === 0 && !document.getElementById("no-alarms").hidden,
    { timeout: 30000 }).catch(() => fail("the alarm did not clear: " + alarm));
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
  console.log("page check: values shown, alarm raised and cleared: " + alarm);
} finally {
  await browser.close();
}
