// Google's own Node.js clients with a token of the emulator's: @google-cloud/storage
// uploads, reads and deletes an object, and @google-cloud/speech (REST) recognises it
// by its gs:// URI. google-auth-library would trade the key file's assertion at
// Google's own token URI whatever the file says, so the assertion is signed and traded
// here, and the clients are handed an OAuth2Client that holds the token.
// usage: node google-storage.js PORT KEY-FILE BUCKET GOFORWARD.WAV
'use strict';
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const {OAuth2Client} = require('google-auth-library');
const {Storage} = require('@google-cloud/storage');
const speech = require('@google-cloud/speech');

const [port, keyPath, bucketName, wavPath] = process.argv.slice(2);
const account = JSON.parse(fs.readFileSync(keyPath, 'utf8'));

function base64url(data) {
  return Buffer.from(data).toString('base64url');
}

async function token() {
  const now = Math.floor(Date.now() / 1000);
  const claims = {iss: account.client_email, scope: 'https://www.googleapis.com/auth/cloud-platform',
    aud: account.token_uri, iat: now, exp: now + 3600};
  const signed = base64url(JSON.stringify({alg: 'RS256', typ: 'JWT', kid: account.private_key_id})) + '.' +
    base64url(JSON.stringify(claims));
  const signature = crypto.sign('RSA-SHA256', Buffer.from(signed), account.private_key);
  const reply = await fetch(account.token_uri, {method: 'POST',
    headers: {'Content-Type': 'application/x-www-form-urlencoded'},
    body: new URLSearchParams({grant_type: 'urn:ietf:params:oauth:grant-type:jwt-bearer',
      assertion: signed + '.' + base64url(signature)})});
  assert.equal(reply.status, 200);
  return (await reply.json()).access_token;
}

async function main() {
  const authClient = new OAuth2Client();
  authClient.setCredentials({access_token: await token()});
  const storage = new Storage({apiEndpoint: `http://127.0.0.1:${port}`, authClient, projectId: account.project_id,
    useAuthWithCustomEndpoint: true});
  const bucket = storage.bucket(bucketName);
  const audio = fs.readFileSync(wavPath);
  await bucket.file('saved/go forward.wav').save(audio, {resumable: false, contentType: 'audio/wav'});
  const [uploaded] = await bucket.upload(wavPath, {destination: 'uploaded.wav', resumable: false});
  assert.equal(Number(uploaded.metadata.size), audio.length);
  const [read] = await bucket.file('saved/go forward.wav').download();
  assert.ok(read.equals(audio));

  const speechClient = new speech.SpeechClient({fallback: 'rest', apiEndpoint: '127.0.0.1', port: Number(port),
    protocol: 'http', authClient});
  const [operation] = await speechClient.longRunningRecognize({config: {languageCode: 'en-US'},
    audio: {uri: `gs://${bucketName}/saved/go forward.wav`}});
  const [long] = await operation.promise();
  assert.equal(long.results[0].alternatives[0].transcript, 'go forward ten meters');

  for (const name of ['saved/go forward.wav', 'uploaded.wav']) {
    await bucket.file(name).delete();
    assert.deepEqual(await bucket.file(name).exists(), [false]);
  }
  await assert.rejects(bucket.file('uploaded.wav').download(), (error) => error.code === 404);
  console.log('Google client libraries: stored, recognised by URI and deleted as expected');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
