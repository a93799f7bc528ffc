"""Prints the test classes of a Python test module, one a line: the classes
that define test methods of their own. CMake makes each one a CTest test, so a
new class runs without being listed anywhere. The file is parsed, not
imported: its imports need not be installed to configure the build."""
import ast
import sys

with open(sys.argv[1], encoding="utf-8") as source:
    tree = ast.parse(source.read(), sys.argv[1])
for node in tree.body:
    if isinstance(node, ast.ClassDef) and any(
            isinstance(item, ast.FunctionDef) and item.name.startswith("test")
            for item in node.body):
        print(node.name)
