// The npm client appium-ios-device, as its users call it, against keldo-devsim: every step it offers
// that the simulator serves, each printed as "ok NAME" or "FAIL NAME: reason". It is a second,
// independent client beside libimobiledevice: it speaks binary property lists to lockdownd and the
// services, presents the pair record's HostCertificate in TLS, and sends AFC paths without a NUL.
// Exit status 1 when any step fails.
// Usage: node devsim-node-client.js USB_UDID NETWORK_UDID UNTRUSTED_UDID SHARED_APP PRIVATE_APP
// with USBMUXD_SOCKET_ADDRESS naming the simulator's socket and appium-ios-device on NODE_PATH.
'use strict';

const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const { Readable, Writable } = require('node:stream');
const { pipeline } = require('node:stream/promises');
const { Usbmux, utilities, services } = require('appium-ios-device');
// Not exported from the package's top: the pieces its users take for a service it has no class for.
const { getDefaultSocket } = require('appium-ios-device/build/lib/usbmux');
const { PlistService } = require('appium-ios-device/build/lib/plist-service');
// Its debug lines (one per usbmuxd connection) would drown the steps; warnings and errors stay.
require('appium-ios-device/build/lib/logger').log.level = 'info';

const [usb, network, untrusted, sharedApp, privateApp] = process.argv.slice(2);
const STEP_TIMEOUT_MS = 20000;
let failures = 0;

async function step(name, body) {
  let timer;
  try {
    await Promise.race([
      body(),
      new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`no end within ${STEP_TIMEOUT_MS} ms`)), STEP_TIMEOUT_MS);
      }),
    ]);
    console.log(`ok ${name}`);
  } catch (e) {
    failures++;
    console.log(`FAIL ${name}: ${(e && e.message) || e}`);
  } finally {
    clearTimeout(timer);
  }
}

// A usbmuxd connection for one request, closed after it.
async function withUsbmux(body) {
  const usbmux = new Usbmux(await getDefaultSocket());
  try {
    return await body(usbmux);
  } finally {
    usbmux.close();
  }
}

async function withSession(udid, body) {
  const lockdown = await utilities.startLockdownSession(udid);
  try {
    return await body(lockdown);
  } finally {
    lockdown.close();
  }
}

// Resolves with the error of a call that must fail, so that its words can be checked.
async function refusal(promise) {
  try {
    await promise;
  } catch (e) {
    return String((e && e.message) || e);
  }
  throw new Error('succeeded where it had to be refused');
}

// A service that a step before opened, or the reason it could not.
function needs(service, what) {
  if (!service) throw new Error(`${what} did not start (see above)`);
  return service;
}

async function writeRemote(afc, path, bytes) {
  const stream = await afc.createWriteStream(path, { autoDestroy: true });
  const closed = new Promise((resolve, reject) => {
    stream.once('close', resolve);
    stream.once('error', reject);
  });
  await pipeline(Readable.from([bytes]), stream);
  await closed;
}

async function readRemote(afc, path) {
  const chunks = [];
  const stream = await afc.createReadStream(path, { autoDestroy: true });
  await pipeline(stream, new Writable({
    write(chunk, _, done) {
      chunks.push(chunk);
      done();
    },
  }));
  return Buffer.concat(chunks);
}

// A directory's names, without "." and "..".
async function entries(afc, path) {
  return (await afc.listDirectory(path)).filter((name) => name !== '.' && name !== '..').sort();
}

async function walk(afc, root) {
  const found = [];
  await afc.walkDir(root, true, (path, isDirectory) => found.push(isDirectory ? `${path}/` : path));
  return found.sort();
}

async function main() {
  let buid;

  // usbmuxd: devices, the host's identity and pair records, connections to a device's ports.
  await step('usbmux list devices', async () => {
    const devices = await withUsbmux((usbmux) => usbmux.listDevices());
    const byUdid = Object.fromEntries(devices.map((d) => [d.Properties.SerialNumber, d.Properties]));
    assert.equal(byUdid[usb]?.ConnectionType, 'USB', JSON.stringify(devices));
    assert.equal(byUdid[network]?.ConnectionType, 'Network', JSON.stringify(devices));
    const udids = await utilities.getConnectedDevices();
    for (const udid of [usb, network, untrusted]) assert.ok(udids.includes(udid), `${udid} in ${udids}`);
  });
  await step('usbmux read BUID', async () => {
    buid = await withUsbmux((usbmux) => usbmux.readBUID());
    // usbmuxd's BUID, and the HostID a host makes, are UUIDs in upper-case hex: clients parse them.
    assert.match(buid, /^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$/);
  });
  await step('usbmux read pair record', async () => {
    const record = await withUsbmux((usbmux) => usbmux.readPairRecord(usb));
    for (const key of ['HostID', 'SystemBUID', 'HostCertificate', 'HostPrivateKey', 'DeviceCertificate', 'RootCertificate']) {
      assert.ok(record?.[key], `the record has ${key}: ${Object.keys(record || {})}`);
    }
    assert.match(record.HostID, /^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$/);
    assert.equal(record.SystemBUID, buid);
    assert.equal(await withUsbmux((usbmux) => usbmux.readPairRecord(untrusted)), null, 'no record of an untrusted device');
  });
  await step('usbmux connect to lockdownd', async () => {
    const usbmux = new Usbmux(await getDefaultSocket());
    const lockdown = await usbmux.connectLockdown(usb);
    try {
      assert.equal((await lockdown.queryType()).Type, 'com.apple.mobile.lockdown');
    } finally {
      lockdown.close();
    }
  });
  await step('usbmux connect to a port nobody listens on is refused', async () => {
    const said = await refusal(withUsbmux(async (usbmux) => {
      const device = await usbmux.findDevice(usb);
      await usbmux.connect(device.Properties.DeviceID, 1);
    }));
    assert.match(said, /refused/);
  });

  // lockdownd: the public identity outside a session, everything else in one, in TLS.
  await step('lockdown values outside a session', async () => {
    assert.equal(await utilities.getOSVersion(usb), '17.0');
    assert.equal(await utilities.getDeviceName(usb), 'USB Phone');
    const info = await utilities.getDeviceInfo(usb);
    assert.equal(info.UniqueDeviceID, usb, JSON.stringify(info));
    assert.equal(info.SerialNumber, undefined, 'no serial number outside a session');
  });
  await step('lockdown an untrusted device gives its identity and no session', async () => {
    assert.equal(await utilities.getDeviceName(untrusted), 'Lone Phone');
    assert.match(await refusal(utilities.startLockdownSession(untrusted)), /pair record/);
  });
  await step('lockdown session in TLS with the pair record', () =>
    withSession(usb, async (lockdown) => {
      assert.equal(await lockdown.getValue({ Key: 'SerialNumber' }), `SIM${usb}`);
      assert.equal(await lockdown.getValue({ Key: 'DeviceName' }), 'USB Phone');
      assert.equal(await lockdown.getValue({ Key: 'ProductVersion' }), '17.0');
    }));
  await step('lockdown all values in a session', () =>
    withSession(usb, async (lockdown) => {
      const values = await lockdown.getValue();
      for (const key of ['SerialNumber', 'ProductType', 'BuildVersion', 'UniqueDeviceID', 'TimeZone']) {
        assert.ok(values[key] != null, `no ${key} among ${Object.keys(values)}`);
      }
    }));
  await step('lockdown device time', async () => {
    const time = await utilities.getDeviceTime(usb);
    assert.ok(Math.abs(time.timestamp - Date.now() / 1000) < 60, JSON.stringify(time));
    assert.ok(Number.isFinite(time.utcOffset), JSON.stringify(time));
    assert.ok(typeof time.timeZone === 'string' && time.timeZone.length > 0, JSON.stringify(time));
  });
  await step('lockdown refuses a service it does not have', () =>
    withSession(usb, async (lockdown) => {
      assert.match(await refusal(lockdown.startService('com.example.nothing')), /InvalidService/);
    }));

  // AFC over the media: a directory, a file in it written and read back, their information, removal.
  let afc;
  const dir = '/NodeClient';
  const file = `${dir}/photo.bin`;
  const bytes = crypto.randomBytes(300 * 1024 + 17);
  await step('afc start', async () => {
    afc = await services.startAfcService(usb);
  });
  await step('afc list', async () => {
    const names = await entries(needs(afc, 'AFC'), '/');
    for (const name of ['DCIM', 'Books']) assert.ok(names.includes(name), `${name} in ${names}`);
  });
  await step('afc mkdir', async () => {
    await needs(afc, 'AFC').createDirectory(dir);
    assert.ok((await afc.getFileInfo(dir)).isDirectory());
  });
  await step('afc write', () => writeRemote(needs(afc, 'AFC'), file, bytes));
  await step('afc read', async () => {
    assert.ok((await readRemote(needs(afc, 'AFC'), file)).equals(bytes), 'the bytes written');
  });
  await step('afc stat', async () => {
    const info = await needs(afc, 'AFC').getFileInfo(file);
    assert.ok(info.isFile() && !info.isDirectory());
    assert.equal(info.size, bytes.length);
    assert.ok(Math.abs(info.mtimeMs - Date.now()) < 60000, `made now: ${info.mtimeMs}`);
    assert.match(await refusal(afc.getFileInfo(`${dir}/nothing`)), /OBJECT_NOT_FOUND/);
  });
  await step('afc walk', async () => {
    await needs(afc, 'AFC').createDirectory(`${dir}/Album`);
    await writeRemote(afc, `${dir}/Album/a.txt`, Buffer.from('a'));
    assert.deepEqual(await walk(afc, dir), [`${dir}/Album/`, `${dir}/Album/a.txt`, file]);
  });
  await step('afc remove a file', async () => {
    await needs(afc, 'AFC').deleteDirectory(file);
    assert.match(await refusal(afc.getFileInfo(file)), /OBJECT_NOT_FOUND/);
  });
  await step('afc remove a directory and its contents', async () => {
    await needs(afc, 'AFC').deleteDirectory(dir);
    assert.match(await refusal(afc.getFileInfo(`${dir}/Album/a.txt`)), /OBJECT_NOT_FOUND/);
    assert.ok(!(await entries(afc, '/')).includes('NodeClient'));
  });
  afc?.close();

  // Crash reports: listed and copied as a crash log collector does.
  await step('crash reports list and pull', async () => {
    const reports = await services.startCrashLogService(usb);
    try {
      const names = await reports.listDirectory('/');
      for (const name of ['Demo-2024-05-01-101500.ips', 'LatestCrash-Demo.ips', 'Retired']) {
        assert.ok(names.includes(name), `${name} in ${names}`);
      }
      const found = await walk(reports, '/');
      assert.ok(found.includes('/Retired/Demo-2024-04-01-090000.ips'), `found ${found}`);
      const text = (await readRemote(reports, '/Retired/Demo-2024-04-01-090000.ips')).toString();
      assert.match(text, /^Process: Demo/m);
    } finally {
      reports.close();
    }
  });

  // installation_proxy: the apps, all of them and some by bundle identifier.
  const attributes = ['CFBundleIdentifier', 'CFBundleShortVersionString', 'CFBundleDisplayName'];
  await step('installation_proxy browse', async () => {
    const proxy = await services.startInstallationProxyService(usb);
    try {
      const apps = await proxy.listApplications({ applicationType: 'User', returnAttributes: attributes });
      assert.equal(apps[sharedApp]?.CFBundleShortVersionString, '2.1', JSON.stringify(apps));
      assert.equal(apps[privateApp]?.CFBundleDisplayName, 'Notes', JSON.stringify(apps));
    } finally {
      proxy.close();
    }
  });
  await step('installation_proxy lookup', async () => {
    const proxy = await services.startInstallationProxyService(usb);
    try {
      const apps = await proxy.lookupApplications({ bundleIds: [sharedApp], returnAttributes: attributes });
      assert.deepEqual(Object.keys(apps), [sharedApp], JSON.stringify(apps));
      assert.equal(apps[sharedApp].CFBundleDisplayName, 'Film Player');
    } finally {
      proxy.close();
    }
  });

  // house_arrest: an app's Documents and container over AFC, refused for an app that does not share.
  await step('house_arrest documents', async () => {
    const documents = await (await services.startHouseArrestService(usb)).vendDocuments(sharedApp);
    try {
      await writeRemote(documents, '/Documents/film.mp4', Buffer.from('frames'));
      assert.deepEqual(await entries(documents, '/Documents'), ['film.mp4']);
      assert.equal((await readRemote(documents, '/Documents/film.mp4')).toString(), 'frames');
    } finally {
      documents.close();
    }
  });
  await step('house_arrest container', async () => {
    const container = await (await services.startHouseArrestService(usb)).vendContainer(sharedApp);
    try {
      assert.deepEqual(await entries(container, '/'), ['Documents', 'Library', 'tmp']);
      assert.equal((await readRemote(container, '/Documents/film.mp4')).toString(), 'frames');
    } finally {
      container.close();
    }
  });
  await step('house_arrest refuses an app that does not share its documents', async () => {
    const houseArrest = await services.startHouseArrestService(usb);
    try {
      assert.match(await refusal(houseArrest.vendDocuments(privateApp)), /InstallationLookupFailed/);
    } finally {
      houseArrest.close();
    }
  });

  // The diagnostics relay: the package has no class for it, so it is reached as its users reach
  // such a service, with the package's own pieces: started in a session, connected in TLS as
  // lockdownd says, property lists over it.
  await step('diagnostics relay in TLS', async () => {
    const started = await withSession(usb, (lockdown) => lockdown.startService('com.apple.mobile.diagnostics_relay'));
    assert.equal(started.EnableServiceSSL, true, JSON.stringify(started));
    const relay = new PlistService(await utilities.connectPortSSL(usb, started.Port));
    try {
      const answer = await relay.sendPlistAndReceive({ Request: 'MobileGestalt', MobileGestaltKeys: ['ProductVersion'] });
      assert.equal(answer.Status, 'Success', JSON.stringify(answer));
      assert.equal(answer.Diagnostics?.MobileGestalt?.ProductVersion, '17.0', JSON.stringify(answer));
      assert.equal((await relay.sendPlistAndReceive({ Request: 'Goodbye' })).Status, 'Success');
    } finally {
      relay.close();
    }
  });
}

main().then(
  () => {
    console.log(failures ? `${failures} step(s) failed` : 'all steps passed');
    // The client leaves timers of its own behind (house_arrest's reply time-out): end now.
    process.exit(failures ? 1 : 0);
  },
  (e) => {
    console.log(`FAIL the run itself: ${e && e.stack}`);
    process.exit(1);
  },
);
