# The unit tests import the collection's code as Ansible does: through its collection loader,
# from the collections/ directory that holds this collection.
import os

from ansible.utils.collection_loader._collection_finder import _AnsibleCollectionFinder

COLLECTIONS = os.path.abspath(os.path.join(os.path.dirname(__file__), *[".."] * 5))
_AnsibleCollectionFinder(paths=[COLLECTIONS])._install()
