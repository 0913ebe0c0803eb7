// Starts `brivant panel --no-browser` and a headless Chromium for it; shared
// by the browser test and the screenshot script. Both end what they started.
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
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
      const match = output.match(/http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32}/);
      if (match) {
        clearTimeout(timer);
        resolve({
          url: match[0],
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
