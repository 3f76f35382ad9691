// Screenshots of the status page at 1280 and 390 px wide (the second a phone's,
// at a pixel ratio of 2): in normal operation, during a mains failure, and
// with the line down once the simulator with the given PID is killed.
// Usage: node screenshots.mjs URL FOLDER SIMULATOR_PID
import puppeteer from "puppeteer-core";
import path from "node:path";

const [url, folder, simPid] = process.argv.slice(2);
const fail = (why) => { console.error("screenshots: " + why); process.exit(1); };
const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
});
try {
  const pages = [];
  for (const [width, height, scale] of [[1280, 900, 1], [390, 844, 2]]) {
    const page = await browser.newPage();
    await page.setViewport({ width, height, deviceScaleFactor: scale });
    await page.goto(url, { waitUntil: "domcontentloaded" });
    pages.push({ page, width, height, scale });
  }
  // The whole page: the viewport made as tall as the page, the charts given a moment to redraw.
  const shoot = async (state) => {
    for (const { page, width, height, scale } of pages) {
      const file = path.join(folder, `status-page-${width}-${state}.png`);
      const tall = await page.evaluate(() => document.documentElement.scrollHeight);
      await page.setViewport({ width, height: Math.max(height, tall), deviceScaleFactor: scale });
      await new Promise((r) => setTimeout(r, 500));
      await page.screenshot({ path: file });
      await page.setViewport({ width, height, deviceScaleFactor: scale });
      console.log("screenshots: " + file);
    }
  };
  const waitAll = async (what, fn, ms) => {
    for (const { page } of pages) await page.waitForFunction(fn, { timeout: ms, polling: 250 }).catch(() => fail(what));
  };
  await waitAll("no normal operation with a chart",
                () => document.getElementById("health").className === "online" &&
                  Chart.getChart(document.getElementById("chart-dc")).data.datasets[0].data.length >= 20, 120000);
  await shoot("normal");
  await waitAll("no mains failure", () => document.getElementById("mains-state").textContent.includes("failed") &&
                document.querySelectorAll("#fuses li").length > 0, 120000);
  await new Promise((r) => setTimeout(r, 15000));  // some discharge on the charts
  await shoot("mains-failure");
  process.kill(Number(simPid), "SIGKILL");
  await waitAll("the line never went down", () => document.getElementById("health").textContent === "line down", 60000);
  await shoot("line-down");
} finally {
  await browser.close();
}
