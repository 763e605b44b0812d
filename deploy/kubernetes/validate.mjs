// Validates each document of the given YAML files by its apiVersion and kind.
import fs from 'node:fs';
import YAML from 'yaml';

async function modelOf(apiVersion, kind) {
  const [group, version] = apiVersion.includes('/') ? apiVersion.split('/') : ['', apiVersion];
  const models = await import(group ? `kubernetes-models/${group}/${version}` : `kubernetes-models/${version}`);
  return models[kind];
}

let failures = 0;
for (const file of process.argv.slice(2)) {
  for (const document of YAML.parseAllDocuments(fs.readFileSync(file, 'utf8'))) {
    const object = document.toJS();
    const name = `${file} ${object.kind}/${object.metadata && object.metadata.name}`;
    try {
      const Model = await modelOf(object.apiVersion, object.kind);
      if (!Model) throw new Error(`no schema for ${object.apiVersion} ${object.kind}`);
      new Model(object).validate();
      console.log(`valid: ${name}`);
    } catch (error) {
      failures += 1;
      console.log(`INVALID: ${name}: ${error.message}`);
    }
  }
}
process.exit(failures ? 1 : 0);
