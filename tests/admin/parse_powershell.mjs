// Parses PowerShell scripts with the tree-sitter PowerShell grammar and names, for each, the first
// place the grammar could not parse (an ERROR node, or a MISSING one where a token was expected).
// usage: node parse_powershell.mjs GRAMMAR_FOLDER SCRIPT...   exit 0 when every script parses
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [grammarFolder, ...scripts] = process.argv.slice(2);
// The grammar's packages live in their own folder, outside the sources; both are ES modules.
const resolve = createRequire(join(grammarFolder, 'node_modules', 'loader.js')).resolve;
const load = async (name) => (await import(pathToFileURL(resolve(name)).href)).default;
const Parser = await load('tree-sitter');
const PowerShell = await load('tree-sitter-powershell');

function firstFault(node) {
    if (node.type === 'ERROR' || node.isMissing) {
        return node;
    }
    for (const child of node.children) {
        if (child.hasError) {
            return firstFault(child);
        }
    }
    return null;
}

const parser = new Parser();
parser.setLanguage(PowerShell);
let failed = 0;
for (const script of scripts) {
    const tree = parser.parse(readFileSync(script, 'utf8'));
    const fault = tree.rootNode.hasError ? firstFault(tree.rootNode) : null;
    if (tree.rootNode.hasError) {
        failed = 1;
        const where = fault ? `line ${fault.startPosition.row + 1}, column ${fault.startPosition.column + 1}` : 'somewhere';
        console.log(`${script}: does not parse (${fault && fault.isMissing ? 'missing ' + fault.type : 'error'} at ${where})`);
    } else {
        console.log(`${script}: parses`);
    }
}
process.exit(failed);
