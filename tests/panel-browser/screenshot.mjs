// Regenerates the README's picture of the panel: brivant panel over the demo
// units, a few actions taken so that results show, after some seconds of
// charts.   node screenshot.mjs path/to/brivant path/to/panel.png
import { startBrowser, startPanel } from "./panel_session.mjs";

const [brivant, output] = process.argv.slice(2);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const panel = await startPanel(brivant);
const chromium = await startBrowser();
try {
  const page = await chromium.browser.newPage();
  await page.setViewport({ width: 1280, height: 1000 });
  await page.goto(panel.url, { waitUntil: "load" });
  await page.waitForFunction(() => document.querySelectorAll("section.unit").length === 3);
  const channel = (unit, ch) => `.channel[data-unit="${unit}"][data-ch="${ch}"]`;
  await sleep(4000);
  await page.click(`${channel(0, 1)} button[data-action="stop"]`);
  await sleep(2500);
  await page.click(`${channel(0, 2)} details.settings summary`);
  await page.select(`${channel(0, 2)} form[data-action="multiplier"] select`, "2");
  await page.click(`${channel(0, 2)} form[data-action="multiplier"] button`);
  await page.$eval(`${channel(0, 0)} form.preset input[name="first"]`, (node) => { node.value = "0x2000"; });
  await page.click(`${channel(0, 0)} form.preset button`);
  await sleep(2500);
  await page.screenshot({ path: output });
  console.log(`wrote ${output}`);
} finally {
  await chromium.close();
  await panel.stop();
}
