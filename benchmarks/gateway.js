// A plain Node.js gateway making the service's two cloud calls, for the benchmarks to
// measure beside it: POST /transcribe {"audio", "language"} -> speech:recognize, then
// documents:analyzeSentiment with the transcript; it answers with the second reply.
// Node's own https module and a keep-alive agent per endpoint, nothing else.
//
// usage: node gateway.js PORT SPEECH-ENDPOINT LANGUAGE-ENDPOINT CA-FILE
'use strict';
const fs = require('fs');
const http = require('http');
const https = require('https');

const [port, speech, language, caFile] = process.argv.slice(2);
const ca = fs.readFileSync(caFile);
// As many idle connections per endpoint as the service and nginx keep by default.
const agents = {};
const agentFor = (url) => (agents[url.host] ??= new https.Agent({ keepAlive: true, maxFreeSockets: 32, ca }));

// The reply's status and body, or a thrown error for a call that never got one.
function call(endpoint, method, body) {
  const url = new URL(endpoint + method);
  return new Promise((resolve, reject) => {
    const request = https.request(url, {
      method: 'POST', agent: agentFor(url),
      headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) },
    }, (reply) => {
      const chunks = [];
      reply.on('data', (chunk) => chunks.push(chunk));
      reply.on('end', () => resolve({ status: reply.statusCode, body: Buffer.concat(chunks).toString() }));
      reply.on('error', reject);
    });
    request.on('error', reject);
    request.end(body);
  });
}

async function transcribe(body) {
  const { audio, language: code } = JSON.parse(body);
  const recognition = await call(speech, '/speech:recognize',
    JSON.stringify({ config: { languageCode: code }, audio: { content: audio } }));
  if (recognition.status !== 200) return recognition;
  const results = JSON.parse(recognition.body).results || [];
  const transcript = results.map((r) => (r.alternatives || [])[0]?.transcript || '').filter(Boolean).join(' ');
  const detected = (results[0] && results[0].languageCode) || code;
  return call(language, '/documents:analyzeSentiment',
    JSON.stringify({ document: { type: 'PLAIN_TEXT', language: detected, content: transcript } }));
}

http.createServer((request, response) => {
  const chunks = [];
  request.on('data', (chunk) => chunks.push(chunk));
  request.on('end', () => {
    if (request.method !== 'POST' || request.url !== '/transcribe') {
      response.writeHead(404).end();
      return;
    }
    transcribe(Buffer.concat(chunks).toString()).then(
      (reply) => response.writeHead(reply.status, { 'Content-Type': 'application/json' }).end(reply.body),
      (error) => response.writeHead(502, { 'Content-Type': 'text/plain' }).end(String(error)));
  });
}).listen(Number(port), '127.0.0.1');
