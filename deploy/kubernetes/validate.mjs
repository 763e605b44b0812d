// Checks each document of the given YAML files against the Kubernetes API, as npm's
// kubernetes-models describes it. The JSON schemas it ships let unknown fields through,
// so a misspelled field would be dropped by the cluster without a word: each object is
// therefore also type-checked as an object literal of the kind's TypeScript interface,
// with the compiler in strict mode, which refuses every field the API does not have.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import YAML from 'yaml';
import ts from 'typescript';

const here = path.dirname(fileURLToPath(import.meta.url));
const models = path.join(here, 'node_modules', 'kubernetes-models');

// The module of a kind's model: kubernetes-models/<group>/<version>/<Kind>.
function modulePath(object) {
  if (typeof object?.apiVersion !== 'string' || typeof object.kind !== 'string') return null;
  const [group, version] = object.apiVersion.includes('/') ? object.apiVersion.split('/') : ['', object.apiVersion];
  const file = path.join(models, group, version, object.kind);
  return fs.existsSync(`${file}.d.ts`) ? file : null;
}

// The dotted field path of a position in the generated literal, as kubectl names a
// field: names joined by dots, list indexes in brackets (…containers[0].readinesProbe).
function fieldPath(source, position) {
  const names = [];
  const visit = (node) => {
    if (position < node.getStart(source) || position >= node.getEnd()) return;
    if (ts.isPropertyAssignment(node)) names.push(`.${node.name.text}`);
    if (ts.isArrayLiteralExpression(node)) {
      const index = node.elements.findIndex((e) => position >= e.getStart(source) && position < e.getEnd());
      if (index >= 0) names.push(`[${index}]`);
    }
    ts.forEachChild(node, visit);
  };
  visit(source);
  return names.join('').replace(/^\./, '');
}

const documents = [];
let failed = false;
const refuse = (name, problem) => {
  console.log(`INVALID: ${name}: ${problem}`);
  failed = true;
};
for (const file of process.argv.slice(2)) {
  for (const document of YAML.parseAllDocuments(fs.readFileSync(file, 'utf8'))) {
    const object = document.toJS();
    // kubectl kustomize breaks a Secret's base64 into lines, which the API server's
    // decoder skips and the schema's "byte" format does not.
    for (const key of Object.keys(object?.kind === 'Secret' ? object.data ?? {} : {}))
      object.data[key] = String(object.data[key]).replace(/[\r\n]/g, '');
    const name = `${path.basename(file)} ${object?.kind}/${object?.metadata?.name}`;
    const module = modulePath(object);
    if (document.errors.length > 0) refuse(name, document.errors[0].message);
    else if (!module) refuse(name, `not a kind of the Kubernetes API: ${object?.apiVersion} ${object?.kind}`);
    else {
      const text = `import type { I${object.kind} as Kind } from ${JSON.stringify(module)};\n` +
        `export const object: Kind = ${JSON.stringify(object, null, 1)};\n`;
      documents.push({ name, object, module, file: path.join(here, `.validate-${documents.length}.ts`), text });
    }
  }
}

// One program for all documents: the types are read once.
const options = { strict: true, noEmit: true, skipLibCheck: true, types: [], target: ts.ScriptTarget.ES2020,
  module: ts.ModuleKind.CommonJS, moduleResolution: ts.ModuleResolutionKind.Node10 };
const host = ts.createCompilerHost(options);
const generated = new Map(documents.map((d) => [d.file, d.text]));
const readFile = host.readFile.bind(host);
const getSourceFile = host.getSourceFile.bind(host);
host.fileExists = (name) => generated.has(name) || fs.existsSync(name);
host.readFile = (name) => generated.get(name) ?? readFile(name);
host.getSourceFile = (name, version) =>
  generated.has(name) ? ts.createSourceFile(name, generated.get(name), version, true) : getSourceFile(name, version);
const program = ts.createProgram(documents.map((d) => d.file), options, host);

// Across objects, as the cluster relates them once all the files are applied: what
// a Deployment's selector, a Service, an HPA or a PDB refers to must be there, or
// the object is accepted and silently does nothing (no pods, no endpoints, no
// scaling, no protection).
const matches = (selector, labels) =>
  selector !== undefined && Object.entries(selector).every(([key, value]) => labels?.[key] === value);
// What an object asks of the cluster: for the kinds related here, and for a pod
// template, its one field beside apiVersion, kind, metadata and status.
const desired = (object) =>
  Object.entries(object ?? {}).find(([key]) => !['apiVersion', 'kind', 'metadata', 'status'].includes(key))?.[1] ?? {};
const deployments = documents.map((d) => d.object).filter((o) => o.kind === 'Deployment');
const podsOf = (selector) => deployments.filter((d) => matches(selector, desired(d).template?.metadata?.labels));
const containersOf = (deployment) => desired(desired(deployment).template).containers ?? [];
const portNames = (container) => (container.ports ?? []).map((port) => port.name).filter(Boolean);
function relations(object) {
  const wanted = desired(object);
  const problems = [];
  switch (object.kind) {
    case 'Deployment': {
      if (!matches(wanted.selector?.matchLabels, wanted.template?.metadata?.labels))
        problems.push('template.metadata.labels do not match selector.matchLabels');
      containersOf(object).forEach((container, index) => {
        for (const probe of ['livenessProbe', 'readinessProbe', 'startupProbe']) {
          const handler = container[probe] ?? {};
          const port = (handler.httpGet ?? handler.tcpSocket)?.port;
          if (typeof port === 'string' && !portNames(container).includes(port))
            problems.push(`containers[${index}].${probe}: port ${port} is not a port name of the container`);
        }
      });
      break;
    }
    case 'Service': {
      if (wanted.selector === undefined) break; // endpoints of its own
      const pods = podsOf(wanted.selector);
      if (pods.length === 0) problems.push("selector matches no Deployment's pods");
      for (const { targetPort } of wanted.ports ?? []) {
        const named = (d) => containersOf(d).some((c) => portNames(c).includes(targetPort));
        if (typeof targetPort === 'string' && !pods.every(named))
          problems.push(`targetPort ${targetPort} is not a port name of the pods it selects`);
      }
      break;
    }
    case 'HorizontalPodAutoscaler': {
      const { kind, name } = wanted.scaleTargetRef ?? {};
      if (kind === 'Deployment' && !deployments.some((d) => d.metadata?.name === name))
        problems.push(`scaleTargetRef: no Deployment ${name}`);
      if ((wanted.minReplicas ?? 1) > wanted.maxReplicas)
        problems.push(`minReplicas ${wanted.minReplicas} over maxReplicas ${wanted.maxReplicas}`);
      break;
    }
    case 'PodDisruptionBudget':
      if (podsOf(wanted.selector?.matchLabels).length === 0) problems.push("selector matches no Deployment's pods");
      break;
  }
  return problems;
}

for (const document of documents) {
  const problems = relations(document.object);
  const source = program.getSourceFile(document.file);
  for (const d of [...program.getSyntacticDiagnostics(source), ...program.getSemanticDiagnostics(source)]) {
    const at = d.start === undefined ? '' : `${fieldPath(source, d.start) || '(top)'}: `;
    problems.push(at + ts.flattenDiagnosticMessageText(d.messageText, ' '));
  }
  // The schemas check what the types cannot, such as the format of a quantity.
  const Model = (await import(`${document.module}.mjs`))[document.object.kind];
  try {
    new Model(document.object).validate();
  } catch (error) {
    problems.push(error.message);
  }
  if (problems.length === 0) console.log(`valid: ${document.name}`);
  for (const problem of problems) refuse(document.name, problem);
}
process.exit(failed ? 1 : 0);
