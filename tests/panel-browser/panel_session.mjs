// Starts `brivant panel --no-browser` and a headless Chromium for it; shared
// by the browser test and the screenshot script. Both end what they started.
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import puppeteer from "puppeteer-core";

export const CHROMIUM = process.env.BRIVANT_CHROMIUM || "/usr/bin/chromium";

// Runs the panel (or, given serve's arguments, serve) and resolves with
// {url, stop()} once it printed its address.
export function startPanel(brivant, args = [], command = ["panel", "--no-browser"]) {
  return new Promise((resolve, reject) => {
    const child = spawn(brivant, ["--simulate", ...command, ...args], { stdio: ["ignore", "pipe", "inherit"] });
    let output = "";
    const timer = setTimeout(() => reject(new Error("brivant panel printed no address: " + output)), 15000);
    child.stdout.on("data", (chunk) => {
      output += chunk;
      let url = output.match(/http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32}/)?.[0];
      // serve, its output not a terminal, names the file that holds its token.
      const kept = output.match(/(http:\/\/127\.0\.0\.1:\d+\/)\nThe page's token is in (.+)\.\n/);
      if (!url && kept) {
        const text = readFileSync(kept[2], "utf8");
        url = kept[1] + "?token=" + (kept[2].endsWith(".json") ? JSON.parse(text).token : text.split("\n")[0]);
      }
      if (url) {
        clearTimeout(timer);
        resolve({
          url,
          stop: () => new Promise((done) => {
            if (child.exitCode !== null) return done(child.exitCode);
            child.once("exit", (code) => done(code));
            child.kill("SIGINT");
          }),
        });
      }
    });
    child.once("exit", (code) => reject(new Error(`brivant panel ended with ${code}: ${output}`)));
  });
}

// A headless Chromium with a fresh profile, removed again by close().
export async function startBrowser() {
  const profile = mkdtempSync(path.join(tmpdir(), "brivant-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: [
      "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      `--user-data-dir=${profile}`,
    ],
  });
  return {
    browser,
    profile,
    close: async () => {
      await browser.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}
