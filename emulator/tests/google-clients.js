// Google's own Node.js client libraries, in their REST mode, against the emulator:
// what their users read from each reply, and Google's code on an error.
// usage: node google-clients.js PORT API-KEY GOFORWARD.RAW GOFORWARD.WAV
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const speech = require('@google-cloud/speech');
const language = require('@google-cloud/language');

const [port, apiKey, rawPath, wavPath] = process.argv.slice(2);
const options = {fallback: 'rest', apiEndpoint: '127.0.0.1', port: Number(port), protocol: 'http', apiKey};
const speechClient = new speech.SpeechClient(options);
const languageClient = new language.LanguageServiceClient(options);

function request(config, audioPath) {
  return {config: {languageCode: 'en-US', ...config}, audio: {content: fs.readFileSync(audioPath).toString('base64')}};
}

async function recognize(config, audioPath) {
  const [reply] = await speechClient.recognize(request(config, audioPath));
  return reply.results[0];
}

async function main() {
  const raw = await recognize({encoding: 'LINEAR16', sampleRateHertz: 16000, enableWordTimeOffsets: true}, rawPath);
  assert.equal(raw.alternatives[0].transcript, 'go forward ten meters');
  assert.equal(raw.languageCode, 'en-us');
  const words = raw.alternatives[0].words;
  assert.deepEqual(words.map((w) => w.word), ['go', 'forward', 'ten', 'meters']);
  const seconds = (d) => Number(d.seconds || 0) + (d.nanos || 0) / 1e9;
  assert.ok(seconds(words[0].startTime) < seconds(words[3].endTime));

  for (const [type, content, offset] of [['PLAIN_TEXT', 'I love it. Awful service.', 11],
                                         ['HTML', '<p>I love it.</p><p>Awful service.</p>', 20]]) {
    const [sentiment] = await languageClient.analyzeSentiment({document: {type, content}, encodingType: 'UTF8'});
    assert.ok(sentiment.documentSentiment.magnitude > 0, type);
    assert.deepEqual(sentiment.sentences.map((s) => s.text.beginOffset), [type === 'HTML' ? 3 : 0, offset]);
  }

  const [operation] = await speechClient.longRunningRecognize(request({}, wavPath));
  const [long] = await operation.promise();
  assert.equal(long.results[0].alternatives[0].transcript, 'go forward ten meters');
  assert.equal(operation.metadata.progressPercent, 100);
  const [failing] = await speechClient.longRunningRecognize(request({}, rawPath));
  await assert.rejects(failing.promise(), (error) => error.code === 3);

  await assert.rejects(recognize({languageCode: 'de-DE'}, wavPath), (error) => error.code === 3);
  console.log('Google client libraries: all calls as expected');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
