// Google's own Node.js clients with a token of the emulator's: @google-cloud/storage
// uploads, reads and deletes an object, and @google-cloud/speech (REST) recognises it
// by its gs:// URI. google-auth-library would trade a key file's assertion at Google's
// own token URI whatever the file says, so the clients are handed an OAuth2Client that
// holds a token the test fetched (the trade itself is test_emulator.py's).
// usage: node google-storage.js PORT ACCESS-TOKEN PROJECT BUCKET GOFORWARD.WAV
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const {OAuth2Client} = require('google-auth-library');
const {Storage} = require('@google-cloud/storage');
const speech = require('@google-cloud/speech');

const [port, accessToken, projectId, bucketName, wavPath] = process.argv.slice(2);

async function main() {
  const authClient = new OAuth2Client();
  authClient.setCredentials({access_token: accessToken});
  const storage = new Storage({apiEndpoint: `http://127.0.0.1:${port}`, authClient, projectId,
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
